// SPDX-License-Identifier: GPL-2.0-or-later
using System.Runtime.InteropServices;

namespace Wsbridge.Interop;

// The records that cross the interface, laid out member by member as
// wsbridge.h declares them on x86-64 Linux. The field names are those of the
// header in Pascal case (frame_number -> FrameNumber); RecordLayouts checks
// every offset and size against what the loaded library reports before a
// record is first handed over, so a mismatch is an error instead of
// corrupt data. Texts are NUL-terminated UTF-8 bytes in fixed arrays.

/// <summary>One packet as sequential reading summarises it (C <c>PacketSummary</c>, 544 bytes).</summary>
[StructLayout(LayoutKind.Explicit, Size = 544)]
internal unsafe struct PacketSummary
{
    /// <summary>1 for the first packet after opening.</summary>
    [FieldOffset(0)] public uint FrameNumber;
    /// <summary>Length on the wire.</summary>
    [FieldOffset(4)] public uint PacketLength;
    /// <summary>Bytes present in the file.</summary>
    [FieldOffset(8)] public uint CapturedLength;
    /// <summary>A <see cref="Wsbridge.PortType"/> code.</summary>
    [FieldOffset(12)] public int PortType;
    /// <summary>Source port of the innermost transport header.</summary>
    [FieldOffset(16)] public ushort SourcePort;
    /// <summary>Destination port of the innermost transport header.</summary>
    [FieldOffset(18)] public ushort DestinationPort;
    /// <summary>Where random access re-reads the packet.</summary>
    [FieldOffset(24)] public long FileOffset;
    /// <summary>(sequential reading only) Time since the first packet, in 100 ns units.</summary>
    [FieldOffset(32)] public long RelativeTime;
    /// <summary>(sequential reading only) Seconds since 1970 UTC.</summary>
    [FieldOffset(40)] public long TimeSeconds;
    /// <summary>(sequential reading only) Nanosecond part of the time stamp.</summary>
    [FieldOffset(48)] public int TimeNanoseconds;
    /// <summary>(sequential reading only) Wiretap link-layer code.</summary>
    [FieldOffset(52)] public int Encapsulation;
    /// <summary>An <see cref="Wsbridge.AddressType"/> code.</summary>
    [FieldOffset(56)] public int SourceAddressType;
    /// <summary>An <see cref="Wsbridge.AddressType"/> code.</summary>
    [FieldOffset(60)] public int DestinationAddressType;
    /// <summary>(sequential reading only) Protocol column, cut to 31 bytes.</summary>
    [FieldOffset(64)] public fixed byte ProtocolText[32];
    /// <summary>(sequential reading only) Info column, cut to 255 bytes.</summary>
    [FieldOffset(96)] public fixed byte InfoText[256];
    /// <summary>Link-layer source address, empty when none.</summary>
    [FieldOffset(352)] public fixed byte LinkSourceText[32];
    /// <summary>Link-layer destination address, empty when none.</summary>
    [FieldOffset(384)] public fixed byte LinkDestinationText[32];
    /// <summary>Network source (or link-layer) as tshark -n shows it.</summary>
    [FieldOffset(416)] public fixed byte SourceText[64];
    /// <summary>Network destination (or link-layer) as tshark -n shows it.</summary>
    [FieldOffset(480)] public fixed byte DestinationText[64];
}

/// <summary>One item of a packet's protocol tree (C <c>TreeNode</c>, 768 bytes).</summary>
[StructLayout(LayoutKind.Explicit, Size = 768)]
internal unsafe struct TreeNode
{
    /// <summary>Index of the parent record; -1 at the top level.</summary>
    [FieldOffset(0)] public int ParentIndex;
    /// <summary>Position in the tree + 1.</summary>
    [FieldOffset(4)] public int Index;
    /// <summary>First byte of the item in its data source.</summary>
    [FieldOffset(8)] public int Start;
    /// <summary>Bytes the item covers.</summary>
    [FieldOffset(12)] public int Length;
    /// <summary>A <see cref="Wsbridge.FieldType"/> code.</summary>
    [FieldOffset(16)] public int FieldType;
    /// <summary>Filter name ("ip.src"), empty when none.</summary>
    [FieldOffset(20)] public fixed byte FieldAbbrev[256];
    /// <summary>Display name ("Source Address"), empty when none.</summary>
    [FieldOffset(276)] public fixed byte FieldName[240];
    /// <summary>The item's text in the tree.</summary>
    [FieldOffset(516)] public fixed byte Label[240];
    /// <summary>Opaque handle of the engine's item, for the by-node getters; valid only until the next dissection.</summary>
    [FieldOffset(760)] public void* Node;
}

/// <summary>One packet to copy into the save file (C <c>SavePacketRequest</c>, 48 bytes).</summary>
[StructLayout(LayoutKind.Explicit, Size = 48)]
internal struct SavePacketRequest
{
    /// <summary>Frame number given to the re-dissection.</summary>
    [FieldOffset(0)] public uint FrameNumber;
    /// <summary>Length on the wire, written as is.</summary>
    [FieldOffset(4)] public uint PacketLength;
    /// <summary>Bytes read from the capture and written.</summary>
    [FieldOffset(8)] public uint CapturedLength;
    /// <summary>Offset of the packet's record in the capture.</summary>
    [FieldOffset(16)] public long FileOffset;
    /// <summary>Time stamp written into the saved record: seconds.</summary>
    [FieldOffset(24)] public long TimeSeconds;
    /// <summary>Time stamp written into the saved record: nanoseconds.</summary>
    [FieldOffset(32)] public int TimeNanoseconds;
    /// <summary>Wiretap link-layer code of the packet.</summary>
    [FieldOffset(36)] public int Encapsulation;
    /// <summary>Non-zero: let the TCP sequence tracker leave out repeated bytes.</summary>
    [FieldOffset(40)] public byte SkipFlag;
}

/// <summary>One value of one field of one packet (C <c>WsbBatchValue</c>, 16 bytes).</summary>
[StructLayout(LayoutKind.Explicit, Size = 16)]
internal struct WsbBatchValue
{
    /// <summary>A <see cref="Wsbridge.ValueKind"/> code.</summary>
    [FieldOffset(0)] public int Kind;
    /// <summary>Text values: bytes of the text without the NUL.</summary>
    [FieldOffset(4)] public int TextSize;
    /// <summary>The union: the integer, the bits of the double, or the text's offset.</summary>
    [FieldOffset(8)] public long Value;
}

/// <summary>What gOpenLiveCapture captures (C <c>WsbLiveOptions</c>, 48 bytes); texts are UTF-8, copied by the call.</summary>
[StructLayout(LayoutKind.Explicit, Size = 48)]
internal unsafe struct WsbLiveOptions
{
    [FieldOffset(0)] public byte* InterfaceName;
    [FieldOffset(8)] public byte* CaptureFilter;
    [FieldOffset(16)] public byte* SpoolFolder;
    [FieldOffset(24)] public int SnapLength;
    [FieldOffset(28)] public int StopAfterPackets;
    [FieldOffset(32)] public int StopAfterSeconds;
    [FieldOffset(36)] public int SessionPackets;
    [FieldOffset(40)] public int RingFileKilobytes;
    [FieldOffset(44)] public int RingFiles;
}

/// <summary>One interface dumpcap can capture on (C <c>WsbInterface</c>, 400 bytes).</summary>
[StructLayout(LayoutKind.Explicit, Size = 400)]
internal unsafe struct WsbInterface
{
    [FieldOffset(0)] public int Number;
    [FieldOffset(4)] public int Loopback;
    [FieldOffset(8)] public fixed byte Name[128];
    [FieldOffset(136)] public fixed byte Description[128];
    [FieldOffset(264)] public fixed byte Addresses[136];
}

/// <summary>What gGetNextPacketBatch is asked and where it writes (C <c>WsbPacketBatch</c>, 96 bytes).</summary>
[StructLayout(LayoutKind.Explicit, Size = 96)]
internal unsafe struct WsbPacketBatch
{
    [FieldOffset(0)] public int Capacity;
    [FieldOffset(4)] public int FieldCount;
    [FieldOffset(8)] public int* FieldIds;
    [FieldOffset(16)] public int Occurrences;
    [FieldOffset(20)] public int WholeTexts;
    [FieldOffset(24)] public PacketSummary* Summaries;
    [FieldOffset(32)] public WsbBatchValue* Values;
    [FieldOffset(40)] public int ValueCapacity;
    [FieldOffset(48)] public int* ValueStarts;
    [FieldOffset(56)] public byte* Texts;
    [FieldOffset(64)] public long TextCapacity;
    [FieldOffset(72)] public long* TextOffsets;
    [FieldOffset(80)] public int Packets;
    [FieldOffset(84)] public int ValuesUsed;
    [FieldOffset(88)] public long TextsUsed;
}

/// <summary>One conversation of a statistics table (C <c>WsbConversation</c>, 216 bytes).</summary>
[StructLayout(LayoutKind.Explicit, Size = 216)]
internal unsafe struct WsbConversation
{
    [FieldOffset(0)] public fixed byte AddressA[64];
    [FieldOffset(64)] public fixed byte AddressB[64];
    [FieldOffset(128)] public int AddressType;
    [FieldOffset(132)] public uint PortA;
    [FieldOffset(136)] public uint PortB;
    [FieldOffset(140)] public uint FirstFrame;
    [FieldOffset(144)] public ulong FramesAToB;
    [FieldOffset(152)] public ulong BytesAToB;
    [FieldOffset(160)] public ulong FramesBToA;
    [FieldOffset(168)] public ulong BytesBToA;
    [FieldOffset(176)] public long StartSeconds;
    [FieldOffset(184)] public long StopSeconds;
    [FieldOffset(192)] public long AbsoluteSeconds;
    [FieldOffset(200)] public int StartNanoseconds;
    [FieldOffset(204)] public int StopNanoseconds;
    [FieldOffset(208)] public int AbsoluteNanoseconds;
    [FieldOffset(212)] public int ConversationId;
}

/// <summary>One endpoint of a statistics table (C <c>WsbEndpoint</c>, 112 bytes).</summary>
[StructLayout(LayoutKind.Explicit, Size = 112)]
internal unsafe struct WsbEndpoint
{
    [FieldOffset(0)] public fixed byte Address[64];
    [FieldOffset(64)] public int AddressType;
    [FieldOffset(68)] public uint Port;
    [FieldOffset(72)] public ulong TxFrames;
    [FieldOffset(80)] public ulong TxBytes;
    [FieldOffset(88)] public ulong RxFrames;
    [FieldOffset(96)] public ulong RxBytes;
    [FieldOffset(104)] public uint FirstFrame;
    [FieldOffset(108)] public int Reserved;
}

/// <summary>One protocol of a protocol hierarchy (C <c>WsbHierarchyRow</c>, 96 bytes).</summary>
[StructLayout(LayoutKind.Explicit, Size = 96)]
internal unsafe struct WsbHierarchyRow
{
    [FieldOffset(0)] public fixed byte Protocol[64];
    [FieldOffset(64)] public int Depth;
    [FieldOffset(68)] public int Parent;
    [FieldOffset(72)] public ulong Frames;
    [FieldOffset(80)] public ulong Bytes;
    [FieldOffset(88)] public uint FirstFrame;
    [FieldOffset(92)] public int Reserved;
}

/// <summary>One series in one interval of an io,stat table (C <c>WsbIntervalRow</c>, 112 bytes).</summary>
[StructLayout(LayoutKind.Explicit, Size = 112)]
internal struct WsbIntervalRow
{
    [FieldOffset(0)] public int Series;
    [FieldOffset(4)] public int FirstFrameValues;
    [FieldOffset(8)] public long Interval;
    [FieldOffset(16)] public ulong Frames;
    [FieldOffset(24)] public ulong Bytes;
    [FieldOffset(32)] public ulong Values;
    [FieldOffset(40)] public long Sum;
    [FieldOffset(48)] public long Minimum;
    [FieldOffset(56)] public long Maximum;
    [FieldOffset(64)] public double FloatSum;
    [FieldOffset(72)] public double FloatMinimum;
    [FieldOffset(80)] public double FloatMaximum;
    [FieldOffset(88)] public long FirstMinimum;
    [FieldOffset(96)] public double FirstFloatMinimum;
    [FieldOffset(104)] public uint FirstFrame;
    [FieldOffset(108)] public int Reserved;
}
