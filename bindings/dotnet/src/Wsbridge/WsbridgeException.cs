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
/// Where a C# program would catch a standard exception for the same case,
/// the binding throws that instead, with the library's failure as its
/// <see cref="Exception.InnerException"/> when the library reported it. One
/// table chooses by the code: <see cref="ErrorCode.File"/> gives
/// <see cref="System.IO.FileNotFoundException"/> (a capture that does not
/// exist), <see cref="System.IO.InvalidDataException"/> (a capture that cannot
/// be read or is damaged) or <see cref="System.IO.IOException"/> (a file that
/// cannot be written); <see cref="ErrorCode.BadArgument"/>,
/// <see cref="ErrorCode.Filter"/> and <see cref="ErrorCode.Preference"/>
/// <see cref="ArgumentException"/>; <see cref="ErrorCode.UnknownField"/>
/// <see cref="System.Collections.Generic.KeyNotFoundException"/>;
/// <see cref="ErrorCode.NoCapture"/> <see cref="ObjectDisposedException"/>;
/// <see cref="ErrorCode.Stale"/>, <see cref="ErrorCode.State"/>,
/// <see cref="ErrorCode.NotStarted"/> and <see cref="ErrorCode.ShutDown"/>
/// <see cref="InvalidOperationException"/>; <see cref="ErrorCode.Unsupported"/>
/// <see cref="NotSupportedException"/>; the other codes this exception. The
/// binding's own checks throw the same types: <see cref="ObjectDisposedException"/>
/// for a closed capture or an object of one, <see cref="ArgumentException"/>
/// for a summary of another capture and for a text with a NUL character,
/// <see cref="InvalidOperationException"/> for a tree node or stream that
/// went stale, an enumeration overtaken by another one, an engine shut down.
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
