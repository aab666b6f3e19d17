// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.IO;
using System.Reflection;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Runtime.InteropServices.Marshalling;
using System.Text;

[assembly: DisableRuntimeMarshalling]
[assembly: System.Runtime.Versioning.SupportedOSPlatform("linux")]
[assembly: InternalsVisibleTo("Wsbridge.Tests")]
[assembly: InternalsVisibleTo("Wsbridge.Scenarios")]

namespace Wsbridge.Interop;

/// <summary>
/// The raw interface of libwsbridge, internal to the binding: every export of
/// wsbridge.h under its own name, with the header's argument types (texts
/// handed out are <c>byte*</c> pointers to UTF-8 owned by the library: never
/// free them; <see cref="Text(byte*)"/> copies one). Calls behave exactly as
/// the C calls do; the friendly layer (<see cref="Wsbridge.Engine"/> and the
/// classes it hands out) makes them under its lock. Texts passed in go through
/// <see cref="Utf8Text"/>, which refuses a text with a NUL character instead
/// of letting the library read it cut short.
/// </summary>
/// <remarks>
/// <para>Which file is loaded: the path given to <see cref="UseLibrary"/> (or
/// <see cref="Wsbridge.Engine.Start"/>), else the WSBRIDGE_LIBRARY environment
/// variable, else libwsbridge.so where .NET looks for an application's native
/// libraries (next to the program, the package's runtimes/linux-x64/native/
/// folder), else the system's loader path (libwsbridge.so, libwsbridge.so.0).</para>
/// <para>The calls that take records (<see cref="gGetNextPacket"/>,
/// <see cref="gGetPacketAtOffset"/>, <see cref="gGetTreeNodeByIndex"/>,
/// <see cref="gSavePacketToCaptureFile"/>) first check, once, that
/// <see cref="PacketSummary"/>, <see cref="TreeNode"/> and
/// <see cref="SavePacketRequest"/> are laid out as the loaded library reports
/// through gGetRecordLayout; a mismatch throws <see cref="WsbridgeException"/>
/// instead of letting the library write past a record.</para>
/// </remarks>
internal static unsafe partial class Native
{
    /// <summary>The name the imports are declared with.</summary>
    public const string LibraryName = "wsbridge";

    static Native()
    {
        NativeLibrary.SetDllImportResolver(typeof(Native).Assembly, Resolve);
    }

    // ---- loading -----------------------------------------------------------

    static readonly object loading = new();
    static IntPtr handle;
    static string? requestedPath;
    static string? loadedFrom;

    /// <summary>
    /// Chooses the library file to load instead of searching for it. Only
    /// before the library is loaded (the first call of any export); naming
    /// the file already loaded again does nothing, another one throws
    /// <see cref="InvalidOperationException"/>.
    /// </summary>
    public static void UseLibrary(string path)
    {
        ArgumentException.ThrowIfNullOrEmpty(path);
        lock (loading)
        {
            if (handle != IntPtr.Zero)
            {
                if (loadedFrom != null && SameFile(loadedFrom, path))
                    return;
                throw new InvalidOperationException(
                    $"libwsbridge is already loaded (from {LoadedFrom}); \"{path}\" cannot be used in this process.");
            }
            requestedPath = path;
        }
    }

    /// <summary>Where the library was loaded from: a path, or how it was found; null before it is loaded.</summary>
    public static string? LoadedFrom => handle == IntPtr.Zero ? null : loadedFrom ?? "libwsbridge.so (found by .NET's native library search)";

    /// <summary>The handle of the loaded library (loading it when needed).</summary>
    public static IntPtr LibraryHandle => handle != IntPtr.Zero ? handle : Load();

    static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? searchPath)
    {
        return name == LibraryName ? LibraryHandle : IntPtr.Zero;
    }

    static IntPtr Load()
    {
        lock (loading)
        {
            if (handle != IntPtr.Zero)
                return handle;
            string? path = requestedPath;
            if (string.IsNullOrEmpty(path))
                path = Environment.GetEnvironmentVariable("WSBRIDGE_LIBRARY");
            IntPtr loaded;
            if (!string.IsNullOrEmpty(path))
            {
                // NativeLibrary.Load throws DllNotFoundException with the loader's reason.
                loaded = NativeLibrary.Load(path);
                loadedFrom = path;
            }
            else if (NativeLibrary.TryLoad(LibraryName, typeof(Native).Assembly, null, out loaded))
            {
                loadedFrom = null;
            }
            else if (NativeLibrary.TryLoad("libwsbridge.so.0", out loaded))
            {
                loadedFrom = "libwsbridge.so.0 (the system's loader path)";
            }
            else
            {
                throw new DllNotFoundException(
                    "libwsbridge could not be loaded: it is neither next to the program nor in the package's " +
                    "runtimes/linux-x64/native folder nor on the system's loader path. Reference the Wsbridge " +
                    "package, set WSBRIDGE_LIBRARY to the library's path or pass it to Engine.Start. The engine's " +
                    "own libraries must be installed too (Debian 12: libwireshark16 libwiretap13 libwsutil14).");
            }
            handle = loaded;
            return handle;
        }
    }

    static bool SameFile(string a, string b)
    {
        try
        {
            return Path.GetFullPath(a) == Path.GetFullPath(b) ||
                   (File.ResolveLinkTarget(a, true)?.FullName ?? Path.GetFullPath(a)) ==
                   (File.ResolveLinkTarget(b, true)?.FullName ?? Path.GetFullPath(b));
        }
        catch (IOException)
        {
            return false;
        }
    }

    /// <summary>Whether the loaded library exports <paramref name="name"/>.</summary>
    public static bool HasExport(string name) => NativeLibrary.TryGetExport(LibraryHandle, name, out _);

    // ---- texts -------------------------------------------------------------

    /// <summary>A copy of a NUL-terminated UTF-8 text of the library ("" for null); invalid bytes become U+FFFD.</summary>
    public static string Text(byte* text)
    {
        if (text == null)
            return "";
        return Encoding.UTF8.GetString(MemoryMarshal.CreateReadOnlySpanFromNullTerminated(text));
    }

    /// <summary>A copy of a text handed out with its size (which counts the NUL).</summary>
    public static string Text(byte* text, long sizeWithNul)
    {
        if (text == null || sizeWithNul <= 1)
            return "";
        return Encoding.UTF8.GetString(text, checked((int)(sizeWithNul - 1)));
    }

    /// <summary>A copy of the text in a fixed array of a record (up to its first NUL).</summary>
    public static string Text(byte* array, int capacity)
    {
        var span = new ReadOnlySpan<byte>(array, capacity);
        int end = span.IndexOf((byte)0);
        return Encoding.UTF8.GetString(end < 0 ? span : span[..end]);
    }

    /// <summary>gGetLastError() copied as a string.</summary>
    public static string LastError() => Text(gGetLastError());

    // ---- the exports, each as wsbridge.h declares and documents it ----------

    // ---- library state and errors ------------------------------------------

    [LibraryImport(LibraryName)]
    public static partial int gGetLastErrorCode();

    [LibraryImport(LibraryName)]
    public static partial int gGetPacketTexts(byte** protocol, int* protocolSize, byte** info, int* infoSize);

    [LibraryImport(LibraryName)]
    public static partial int gGetDissectionGeneration(ulong* generation);

    [LibraryImport(LibraryName)]
    public static partial byte* gGetLastError();

    [LibraryImport(LibraryName)]
    public static partial int gInitEpan();

    [LibraryImport(LibraryName)]
    public static partial int gCleanupEpan();

    [LibraryImport(LibraryName)]
    public static partial void gHackedCleanup();

    [LibraryImport(LibraryName)]
    public static partial int gGetVersion(byte** libraryVersion, byte** engineVersion);

    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gGetRecordLayout(string? record, string? member, int* offset, int* size);

    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gSetPreference(string? assignment);

    // ---- field registry ----------------------------------------------------

    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gRegisterProtocolFieldFilter(string? fieldName, string? groupName);

    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gGetProtocolFieldFilterInfo(string? fieldName, int* fieldId, int* fieldType);

    // ---- capture reading ---------------------------------------------------

    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gOpenCapture(string? path);

    [LibraryImport(LibraryName)]
    public static partial int gCloseCapture();

    public static int gGetNextPacket(PacketSummary* summary)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gGetNextPacket(summary);
    }

    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gSetDisplayFilter(string? filter);

    [LibraryImport(LibraryName)]
    public static partial int gSetSummaryTexts(int enabled);

    public static int gGetPacketAtOffset(PacketSummary* summary, uint frameNumber, long fileOffset,
                                         int capturedLength, uint packetLength, int encapsulation)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gGetPacketAtOffset(summary, frameNumber, fileOffset, capturedLength, packetLength,
                                          encapsulation);
    }

    [LibraryImport(LibraryName)]
    public static partial int gGetPacketTimePrecision(int* decimals);

    [LibraryImport(LibraryName)]
    public static partial int gGetFirstPacketTime(long* seconds, int* nanoseconds);

    [LibraryImport(LibraryName)]
    public static partial int gSetReadingShare(int index, int count, int key);

    // ---- live capture --------------------------------------------------------

    public static int gListInterfaces(WsbInterface** interfaces, int* count)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gListInterfaces(interfaces, count);
    }

    public static int gOpenLiveCapture(WsbLiveOptions* options)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gOpenLiveCapture(options);
    }

    [LibraryImport(LibraryName)]
    public static partial int gWaitForPacket(int timeoutMs);

    [LibraryImport(LibraryName)]
    public static partial int gStopLiveCapture();

    [LibraryImport(LibraryName)]
    public static partial int gGetLiveCaptureCounts(ulong* written, ulong* dropped);

    // ---- protocol tree -----------------------------------------------------

    [LibraryImport(LibraryName)]
    public static partial int gBuildPacketProtocolTree(int* dataLength, byte** data, uint frameNumber, long fileOffset,
                                                       int capturedLength, uint packetLength, int encapsulation);

    [LibraryImport(LibraryName)]
    public static partial int gGetProtocolTreeNodesCount(int* count);

    public static int gGetTreeNodeByIndex(TreeNode* node, int position)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gGetTreeNodeByIndex(node, position);
    }

    [LibraryImport(LibraryName)]
    public static partial int gFreePacketProtocolTree();

    // ---- saving ------------------------------------------------------------

    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gCreateCaptureFileForSave(string? path);

    public static int gSavePacketToCaptureFile(byte* skipped, SavePacketRequest* request)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gSavePacketToCaptureFile(skipped, request);
    }

    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gCreateCaptureFileForSaveInFormat(string? path, int format);

    [LibraryImport(LibraryName)]
    public static partial int gGetSaveFileFormat(int* format);

    [LibraryImport(LibraryName)]
    public static partial int gCloseCaptureFileForSave();

    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gSaveFrames(string? path, int format, uint* frames, int count, string? filter, int options,
                                          int* written, int* skipped, int* notMatching);

    // ---- following conversations -------------------------------------------

    [LibraryImport(LibraryName)]
    public static partial int gFollowTCPStreamForPacket(uint frameNumber, long fileOffset, int capturedLength,
                                                        uint packetLength, int encapsulation);

    [LibraryImport(LibraryName)]
    public static partial int gAddPacketToTCPStream(uint frameNumber, long fileOffset, int capturedLength,
                                                    uint packetLength, int encapsulation);

    [LibraryImport(LibraryName)]
    public static partial int gIsValidTcpStrem(byte* valid, int ignored, byte** serverText, int* serverSize,
                                               byte** clientText, int* clientSize, byte** conversationText,
                                               int* conversationSize);

    [LibraryImport(LibraryName)]
    public static partial int gGetNextTCPStreamLine(int renderFormat, int directionFilter, byte** text, uint* size,
                                                    byte* isServer, byte* end);

    [LibraryImport(LibraryName)]
    public static partial int gFollowUDPStreamForPacket(uint frameNumber, long fileOffset, int capturedLength,
                                                        uint packetLength, int encapsulation);

    [LibraryImport(LibraryName)]
    public static partial int gAddPacketToUDPStream(uint frameNumber, long fileOffset, int capturedLength,
                                                    uint packetLength, int encapsulation);

    [LibraryImport(LibraryName)]
    public static partial int gIsValidUDPStrem(byte* valid, byte** serverText, int* serverSize, byte** clientText,
                                               int* clientSize, byte** conversationText, int* conversationSize);

    [LibraryImport(LibraryName)]
    public static partial int gGetNextUDPStreamLine(int renderFormat, int directionFilter, byte** text, uint* size,
                                                    byte* isServer, byte* end);

    [LibraryImport(LibraryName)]
    public static partial int gFollowConversation(int kind, uint frameNumber, long fileOffset, int capturedLength,
                                                  uint packetLength, int encapsulation);

    [LibraryImport(LibraryName)]
    public static partial int gGetFollowTexts(byte** serverText, int* serverSize, byte** clientText, int* clientSize,
                                              byte** conversationText, int* conversationSize);

    [LibraryImport(LibraryName)]
    public static partial int gGetNextFollowChunk(int renderFormat, int directionFilter, byte** data, uint* size,
                                                  byte* isServer, byte* end);

    // ---- matched fields and values -----------------------------------------

    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gLastPacketHasPassedFilter(string? groupName, int* count, int** ids);

    [LibraryImport(LibraryName)]
    public static partial int gGetFieldInfo(int fieldId, int* offset, int* length, int* type);

    [LibraryImport(LibraryName)]
    public static partial int gGetFieldInfoEx(int fieldId, int* start, int* length, int* type);

    [LibraryImport(LibraryName)]
    public static partial int gGetTransportProtocolPayloadOffset(int* offset);

    [LibraryImport(LibraryName)]
    public static partial int gGetIPv4ProtocolPayloadOffset(int* offset);

    [LibraryImport(LibraryName)]
    public static partial int gGetUInt64ProtocolFieldValue(ulong* value, int fieldId);

    [LibraryImport(LibraryName)]
    public static partial int gGetUInt64ProtocolFieldValueByTreeNode(void* node, ulong* value);

    [LibraryImport(LibraryName)]
    public static partial int gGetInt32ProtocolFieldValue(int* value, int fieldId);

    [LibraryImport(LibraryName)]
    public static partial int gGetInt32ProtocolFieldValueByTreeNode(void* node, int* value);

    [LibraryImport(LibraryName)]
    public static partial int gGetStringProtocolFieldValue(byte** value, int* size, int fieldId);

    [LibraryImport(LibraryName)]
    public static partial int gGetStringProtocolFieldValueByTreeNode(void* node, byte** value, int* size);

    [LibraryImport(LibraryName)]
    public static partial int gGetFieldValueText(byte** text, int* size, int fieldId);

    [LibraryImport(LibraryName)]
    public static partial int gGetFieldValueTextByTreeNode(void* node, byte** text, int* size);

    public static int gGetNextPacketBatch(WsbPacketBatch* batch)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gGetNextPacketBatch(batch);
    }

    public static int gGetFieldValue(int fieldId, WsbBatchValue* value, byte** text)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gGetFieldValue(fieldId, value, text);
    }

    // Statistics tables.
    [LibraryImport(LibraryName, StringMarshalling = StringMarshalling.Custom, StringMarshallingCustomType = typeof(Utf8Text))]
    public static partial int gRequestStatistics(string? request, int* table);

    [LibraryImport(LibraryName)]
    public static partial int gClearStatistics();

    [LibraryImport(LibraryName)]
    public static partial int gGetStatisticsKind(int table, int* kind);

    public static int gGetConversations(int table, WsbConversation** records, int* count)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gGetConversations(table, records, count);
    }

    public static int gGetEndpoints(int table, WsbEndpoint** records, int* count)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gGetEndpoints(table, records, count);
    }

    public static int gGetHierarchy(int table, WsbHierarchyRow** records, int* count)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gGetHierarchy(table, records, count);
    }

    public static int gGetIntervals(int table, WsbIntervalRow** records, int* count, long* elapsedSeconds,
                                    int* elapsedNanoseconds)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gGetIntervals(table, records, count, elapsedSeconds, elapsedNanoseconds);
    }

    [LibraryImport(LibraryName)]
    public static partial int gGetStatisticsText(int table, byte** text, int* size);

    public static int gAddConversations(int table, WsbConversation* records, int count)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gAddConversations(table, records, count);
    }

    public static int gAddEndpoints(int table, WsbEndpoint* records, int count)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gAddEndpoints(table, records, count);
    }

    public static int gAddHierarchy(int table, WsbHierarchyRow* records, int count)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gAddHierarchy(table, records, count);
    }

    public static int gAddIntervals(int table, WsbIntervalRow* records, int count, long elapsedSeconds,
                                    int elapsedNanoseconds)
    {
        RecordLayouts.EnsureChecked();
        return Imports.gAddIntervals(table, records, count, elapsedSeconds, elapsedNanoseconds);
    }

    // The exports that take records, behind the wrappers above that check
    // the layouts first.
    static partial class Imports
    {
        [LibraryImport(LibraryName)]
        internal static partial int gGetNextPacket(PacketSummary* summary);

        [LibraryImport(LibraryName)]
        internal static partial int gGetPacketAtOffset(PacketSummary* summary, uint frameNumber, long fileOffset,
                                                       int capturedLength, uint packetLength, int encapsulation);

        [LibraryImport(LibraryName)]
        internal static partial int gGetTreeNodeByIndex(TreeNode* node, int position);

        [LibraryImport(LibraryName)]
        internal static partial int gSavePacketToCaptureFile(byte* skipped, SavePacketRequest* request);

        [LibraryImport(LibraryName)]
        internal static partial int gGetNextPacketBatch(WsbPacketBatch* batch);

        [LibraryImport(LibraryName)]
        internal static partial int gListInterfaces(WsbInterface** interfaces, int* count);

        [LibraryImport(LibraryName)]
        internal static partial int gOpenLiveCapture(WsbLiveOptions* options);

        [LibraryImport(LibraryName)]
        internal static partial int gGetFieldValue(int fieldId, WsbBatchValue* value, byte** text);

        [LibraryImport(LibraryName)]
        internal static partial int gGetConversations(int table, WsbConversation** records, int* count);

        [LibraryImport(LibraryName)]
        internal static partial int gGetEndpoints(int table, WsbEndpoint** records, int* count);

        [LibraryImport(LibraryName)]
        internal static partial int gGetHierarchy(int table, WsbHierarchyRow** records, int* count);

        [LibraryImport(LibraryName)]
        internal static partial int gGetIntervals(int table, WsbIntervalRow** records, int* count,
                                                  long* elapsedSeconds, int* elapsedNanoseconds);

        [LibraryImport(LibraryName)]
        internal static partial int gAddConversations(int table, WsbConversation* records, int count);

        [LibraryImport(LibraryName)]
        internal static partial int gAddEndpoints(int table, WsbEndpoint* records, int count);

        [LibraryImport(LibraryName)]
        internal static partial int gAddHierarchy(int table, WsbHierarchyRow* records, int count);

        [LibraryImport(LibraryName)]
        internal static partial int gAddIntervals(int table, WsbIntervalRow* records, int count,
                                                  long elapsedSeconds, int elapsedNanoseconds);
    }
}

/// <summary>
/// Passes a string to the library as NUL-terminated UTF-8, refusing one with
/// a NUL character of its own: the library would read only the part before it.
/// </summary>
[CustomMarshaller(typeof(string), MarshalMode.ManagedToUnmanagedIn, typeof(Utf8Text))]
internal static unsafe class Utf8Text
{
    public static byte* ConvertToUnmanaged(string? text)
    {
        if (text != null && text.Contains('\0'))
            throw new ArgumentException($"The text \"{text.Replace("\0", "\\0")}\" contains a NUL character; " +
                                        "the library would read only the part before it.");
        return Utf8StringMarshaller.ConvertToUnmanaged(text);
    }

    public static void Free(byte* text) => Utf8StringMarshaller.Free(text);
}
