// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections.Generic;
using System.IO;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// The one way into the library for the friendly layer: one process-wide
/// lock (the library has one engine, one open capture and one followed
/// stream, and is called one call at a time) and the one table from a
/// failure's code to the exception a C# program catches.
/// </summary>
internal static class Guard
{
    /// <summary>Every call into the library is made while holding this.</summary>
    internal static readonly object Gate = new();

    /// <summary>
    /// The exception for a failed status of the call just made (read while
    /// the lock is still held, before anything else writes the message);
    /// <paramref name="path"/> is the file the call named, if any.
    /// </summary>
    internal static Exception Failure(string operation, int status, string? path = null)
    {
        string message = Native.LastError();
        ErrorCode code = status == (int)Status.OutOfMemory ? ErrorCode.OutOfMemory : (ErrorCode)Native.gGetLastErrorCode();
        var error = new WsbridgeException((Status)status, code, message, operation);
        return code switch
        {
            ErrorCode.File when operation == "open" && path != null && !File.Exists(path) =>
                new FileNotFoundException(message, path, error),
            ErrorCode.File when operation is "open" or "read" => new InvalidDataException(message, error),
            ErrorCode.File => new IOException(message, error),
            ErrorCode.BadArgument or ErrorCode.Filter or ErrorCode.Preference => new ArgumentException(message, error),
            ErrorCode.UnknownField => new KeyNotFoundException(message, error),
            ErrorCode.NoCapture => new ObjectDisposedException(message, error),
            ErrorCode.Stale or ErrorCode.State or ErrorCode.NotStarted or ErrorCode.ShutDown =>
                new InvalidOperationException(message, error),
            ErrorCode.Unsupported => new NotSupportedException(message, error),
            ErrorCode.Permission => new UnauthorizedAccessException(message, error),
            _ => error,
        };
    }

    /// <summary>Throws the exception for <paramref name="status"/> unless it is OK.</summary>
    internal static void Check(string operation, int status, string? path = null)
    {
        if (status != (int)Status.Ok)
            throw Failure(operation, status, path);
    }

    /// <summary>The library's dissection generation (it changes with every dissection, open and close).</summary>
    internal static unsafe ulong Generation()
    {
        ulong generation;
        Check("generation", Native.gGetDissectionGeneration(&generation));
        return generation;
    }
}
