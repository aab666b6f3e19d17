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
/// <see cref="Exception.InnerException"/> when the library reported it:
/// <see cref="ObjectDisposedException"/> (a closed capture, or a summary,
/// tree or stream of one), <see cref="ArgumentException"/> (a summary of
/// another capture, a display filter or preference the engine refuses, null
/// or out-of-range arguments), <see cref="System.Collections.Generic.KeyNotFoundException"/>
/// (a field or group name the engine or the registry does not know) and
/// <see cref="InvalidOperationException"/> (a tree node or stream that went
/// stale, an engine that was shut down, a call out of order).
/// </remarks>
public class WsbridgeException : Exception
{
    /// <summary>A failure with the given status, code, message and operation.</summary>
    public WsbridgeException(Status status, ErrorCode code, string message, string? operation = null)
        : base(message)
    {
        Status = status;
        Code = code;
        Operation = operation;
    }

    /// <summary>The library's status for the call.</summary>
    public Status Status { get; }

    /// <summary>The kind of failure (WSB_E_*).</summary>
    public ErrorCode Code { get; }

    /// <summary>What the binding was doing ("open", "tree", ...), when known.</summary>
    public string? Operation { get; }
}
