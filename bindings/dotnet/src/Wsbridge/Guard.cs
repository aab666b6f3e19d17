// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections.Generic;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// The one way into the library for the friendly layer: one process-wide
/// lock (the library has one engine, one open capture, one save file and one
/// followed stream, and is called one call at a time) and the exception for
/// a failed status.
/// </summary>
internal static class Guard
{
    /// <summary>Every call into the library is made while holding this.</summary>
    internal static readonly object Gate = new();

    /// <summary>How a failure of a call is best reported to a C# program.</summary>
    internal enum Kind
    {
        /// <summary>A WsbridgeException.</summary>
        Library,
        /// <summary>A name the engine or the registry does not know: KeyNotFoundException.</summary>
        UnknownName,
        /// <summary>A display filter or preference the engine refuses: ArgumentException.</summary>
        Setting,
    }

    /// <summary>
    /// The exception for a failed status of the call just made (read while
    /// the lock is still held, before anything else writes the message).
    /// </summary>
    internal static Exception Failure(string operation, int status, Kind kind = Kind.Library)
    {
        string message = Native.LastError();
        bool known = Native.HasLastErrorCode;
        ErrorCode code = status == (int)Status.OutOfMemory ? ErrorCode.OutOfMemory
                       : known ? (ErrorCode)Native.gGetLastErrorCode() : ErrorCode.Engine;
        var error = new WsbridgeException((Status)status, code, message, operation);
        if (status == (int)Status.OutOfMemory)
            return error;
        switch (kind)
        {
            case Kind.UnknownName when !known || code == ErrorCode.UnknownField:
                return new KeyNotFoundException(message, error);
            case Kind.Setting when !known || code is ErrorCode.Filter or ErrorCode.Preference or ErrorCode.BadArgument:
                return new ArgumentException(message, error);
            default:
                return error;
        }
    }

    /// <summary>Throws the exception for <paramref name="status"/> unless it is OK.</summary>
    internal static void Check(string operation, int status, Kind kind = Kind.Library)
    {
        if (status != (int)Status.Ok)
            throw Failure(operation, status, kind);
    }
}
