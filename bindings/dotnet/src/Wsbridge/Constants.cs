// SPDX-License-Identifier: GPL-2.0-or-later
namespace Wsbridge;

/// <summary>The status every call of the library returns (WSB_OK ...).</summary>
public enum Status
{
    /// <summary>Success.</summary>
    Ok = 0,
    /// <summary>Failure: gGetLastError says why.</summary>
    Failed = 1,
    /// <summary>End of the capture (gGetNextPacket).</summary>
    End = 2,
    /// <summary>The engine ran out of memory while dissecting.</summary>
    OutOfMemory = 3,
    /// <summary>Nothing arrived in the time given (gWaitForPacket).</summary>
    TimedOut = 4,
}

/// <summary>What kind of failure a call met (WSB_E_*), as gGetLastErrorCode reports it.</summary>
public enum ErrorCode
{
    /// <summary>No failure yet.</summary>
    None = 0,
    /// <summary>The engine has not been started.</summary>
    NotStarted = 1,
    /// <summary>The engine was shut down; it cannot start again.</summary>
    ShutDown = 2,
    /// <summary>The call needs an open capture.</summary>
    NoCapture = 3,
    /// <summary>Null pointer, value out of range, malformed text.</summary>
    BadArgument = 4,
    /// <summary>A locator, tree node or offset that is stale, foreign or names no packet.</summary>
    Stale = 5,
    /// <summary>A file cannot be opened, read or written, or is damaged.</summary>
    File = 6,
    /// <summary>A display filter was refused.</summary>
    Filter = 7,
    /// <summary>A preference was refused.</summary>
    Preference = 8,
    /// <summary>The engine failed otherwise.</summary>
    Engine = 9,
    /// <summary>The engine ran out of memory.</summary>
    OutOfMemory = 10,
    /// <summary>Call out of order: no current packet, no save file, no followed stream...</summary>
    State = 11,
    /// <summary>A field or group name the engine or the registry does not know.</summary>
    UnknownField = 12,
    /// <summary>A size limit was reached.</summary>
    Limit = 13,
    /// <summary>The request cannot be met in this build or format.</summary>
    Unsupported = 14,
    /// <summary>The capture program may not capture on the interface.</summary>
    Permission = 15,
}

/// <summary>Text formats of a followed stream's chunks (WSB_RENDER_*).</summary>
public enum RenderFormat
{
    /// <summary>Bytes outside 0x20..0x7E other than CR and LF shown as '.'.</summary>
    Ascii = 0,
    /// <summary>EBCDIC converted to ASCII.</summary>
    Ebcdic = 1,
    /// <summary>Hex dump lines.</summary>
    HexDump = 2,
    /// <summary>C arrays.</summary>
    CArray = 3,
    /// <summary>The bytes as they are (<see cref="FollowedStream.ReadPayload"/>).</summary>
    Raw = 4,
}

/// <summary>Formats of a saved capture (WSB_SAVE_FORMAT_*).</summary>
public enum SaveFormat
{
    /// <summary>libpcap, microsecond stamps, one link-layer type, no comments.</summary>
    Pcap = 0,
    /// <summary>libpcap, nanosecond stamps.</summary>
    PcapNanoseconds = 1,
    /// <summary>pcapng: interfaces, several link-layer types, comments and nanosecond stamps kept.</summary>
    Pcapng = 2,
    /// <summary>The capture's own format when it is one of the above (libpcap in the variant its stamps need), else pcapng.</summary>
    AsCapture = 3,
    /// <summary>As the file name's extension says: pcapng for .pcapng, libpcap for .pcap (in the variant the capture's stamps need), else <see cref="AsCapture"/>.</summary>
    ByName = 4,
}

/// <summary>Kinds of a <see cref="FieldValue"/> (WSB_VALUE_*).</summary>
public enum ValueKind
{
    /// <summary>The field does not occur in the packet (or the engine has no text for its value).</summary>
    Absent = 0,
    /// <summary>A signed integer of any width (<see cref="long"/>).</summary>
    Int = 1,
    /// <summary>An unsigned integer of any width, frame numbers (<see cref="ulong"/>).</summary>
    UInt = 2,
    /// <summary>A floating-point value (<see cref="double"/>).</summary>
    Double = 3,
    /// <summary>Any other type as tshark -T fields prints it (<see cref="string"/>).</summary>
    Text = 4,
    /// <summary>A boolean (<see cref="bool"/>).</summary>
    Bool = 5,
    /// <summary>An absolute time: nanoseconds since 1970 UTC (<see cref="long"/>).</summary>
    Time = 6,
    /// <summary>A relative time: nanoseconds (<see cref="long"/>).</summary>
    Duration = 7,
}

/// <summary>A side of a followed conversation, or both (WSB_DIRECTION_*).</summary>
public enum Direction
{
    /// <summary>The endpoint that sent the SYN where it was seen, else the one that sent the first payload.</summary>
    Client = 0,
    /// <summary>The other endpoint.</summary>
    Server = 1,
    /// <summary>Both sides (a filter only).</summary>
    Both = 2,
}

/// <summary>Field type codes (WSB_FT_*).</summary>
public enum FieldType
{
#pragma warning disable CS1591 // the names are the header's
    None = 0, Protocol = 1, Boolean = 2, UInt8 = 3, UInt16 = 4, UInt24 = 5, UInt32 = 6, UInt64 = 7,
    Int8 = 8, Int16 = 9, Int24 = 10, Int32 = 11, Int64 = 12, Float = 13, Double = 14,
    AbsoluteTime = 15, RelativeTime = 16, String = 17, StringZ = 18, Ebcdic = 19, UIntString = 20,
    Ether = 21, Bytes = 22, UIntBytes = 23, IPv4 = 24, IPv6 = 25, IpxNet = 26, FrameNumber = 27,
    Pcre = 28, Guid = 29, Oid = 30, Eui64 = 31, Ax25 = 32, Vines = 33, RelOid = 34, SystemId = 35,
    StringZPad = 36, FcWwn = 37, StringZTrunc = 38, Ieee11073SFloat = 39, Ieee11073Float = 40,
#pragma warning restore CS1591
}

/// <summary>Address type codes (WSB_AT_*).</summary>
public enum AddressType
{
#pragma warning disable CS1591
    None = 0, Ether = 1, IPv4 = 2, IPv6 = 3, Ipx = 4, Sna = 5, AppleTalk = 6, Vines = 7, Osi = 8,
    Arcnet = 9, FibreChannel = 10, Ss7PointCode = 11, StringZ = 12, Eui64 = 13, Uri = 14, Tipc = 15,
    FcWwn = 16, InfiniBand = 17, Ax25 = 18, Numeric = 19,
    /// <summary>Any other address type the engine registers.</summary>
    Other = 20,
#pragma warning restore CS1591
}

/// <summary>Port type codes (WSB_PT_*).</summary>
public enum PortType
{
#pragma warning disable CS1591
    None = 0, Sctp = 1, Tcp = 2, Udp = 3, Dccp = 4, Ipx = 5, Ncp = 6, Exchange = 7, Ddp = 8, Sbccs = 9,
    Idp = 10, Tipc = 11, Usb = 12, I2C = 13, IbQp = 14, Bluetooth = 15, IwarpMpa = 16,
#pragma warning restore CS1591
}
