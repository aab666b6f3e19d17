// SPDX-License-Identifier: GPL-2.0-or-later
using System;

namespace Wsbridge;

/// <summary>
/// A call the library refused: <see cref="Status"/> is its status
/// (<see cref="Wsbridge.Status.Failed"/>, or <see cref="Wsbridge.Status.OutOfMemory"/>
/// when the engine ran out of memory), <see cref="Code"/> the WSB_E_* kind
/// of failure and <see cref="Exception.Message"/> the library's message
/// (gGetLastError) at that moment.
/// </summary>
/// <remarks>
/// Where a C# program catches a standard exception for the same case, the
/// binding throws that instead, with this failure as its
/// <see cref="Exception.InnerException"/>; one table chooses by the code
/// (File: <see cref="System.IO.FileNotFoundException"/>,
/// <see cref="System.IO.InvalidDataException"/> or <see cref="System.IO.IOException"/>;
/// BadArgument, Filter, Preference: <see cref="ArgumentException"/>; UnknownField:
/// <see cref="System.Collections.Generic.KeyNotFoundException"/>; NoCapture:
/// <see cref="ObjectDisposedException"/>; Stale, State, NotStarted, ShutDown:
/// <see cref="InvalidOperationException"/>; Unsupported: <see cref="NotSupportedException"/>;
/// Permission: <see cref="UnauthorizedAccessException"/>;
/// the other codes this exception). The binding's own checks throw the same
/// types (a closed capture, a summary of another capture, a text with a NUL
/// character, a stale node or stream, an enumeration overtaken by another).
/// </remarks>
public class WsbridgeException : Exception
{
    /// <summary>A failure with no message of the library's.</summary>
    public WsbridgeException() : this("The library refused the call.") { }

    /// <summary>A failure with a message.</summary>
    public WsbridgeException(string message) : base(message) { }

    /// <summary>A failure with a message and the exception that caused it.</summary>
    public WsbridgeException(string message, Exception? innerException) : base(message, innerException) { }

    /// <summary>A failure with the given status, code, message and operation.</summary>
    public WsbridgeException(Status status, ErrorCode code, string message, string? operation = null)
        : base(message)
    {
        Status = status;
        Code = code;
        Operation = operation;
    }

    /// <summary>The library's status for the call.</summary>
    public Status Status { get; } = Status.Failed;

    /// <summary>The kind of failure (WSB_E_*).</summary>
    public ErrorCode Code { get; } = ErrorCode.Engine;

    /// <summary>What the binding was doing ("open", "tree", ...), when known.</summary>
    public string? Operation { get; }
}
