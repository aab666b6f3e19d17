// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections.Generic;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// One packet as the library summarises it (a PacketSummary with its whole
/// texts decoded from UTF-8) with the values of the fields registered before
/// its capture was opened (<see cref="GetValue"/>). A summary belongs to the
/// opening of the capture it was read from: it names its packet for
/// re-reading, trees, saving, following and the getters below while that
/// capture is open; another capture (also the same file opened again)
/// refuses it with <see cref="ArgumentException"/>, and its own capture once
/// closed with <see cref="ObjectDisposedException"/>.
/// </summary>
/// <remarks>
/// The getters that ask the library about the packet (matched fields, values
/// by id, field locations, payload offsets) answer for this packet whatever
/// other threads or calls dissect: under one lock, the packet is dissected
/// again (gGetPacketAtOffset) unless it is still the packet dissected last.
/// </remarks>
public sealed class Summary
{
    internal readonly Capture Origin;
    readonly FieldValue[] values;
    // The group asked for last with GetMatchedFields (under the lock).
    internal string? MatchedGroup;

    /// <summary>
    /// A summary of a record that sequential reading filled, or (with
    /// <paramref name="sequential"/>) of a record that random access filled:
    /// what only sequential reading writes (times, encapsulation, Protocol
    /// and Info) then comes from the summary the packet was named by.
    /// </summary>
    internal unsafe Summary(Capture origin, PacketSummary* record, string protocolText, string infoText,
                            FieldValue[] values, Summary? sequential = null)
    {
        Origin = origin;
        this.values = values;
        FrameNumber = record->FrameNumber;
        PacketLength = record->PacketLength;
        CapturedLength = record->CapturedLength;
        PortType = (PortType)record->PortType;
        SourcePort = record->SourcePort;
        DestinationPort = record->DestinationPort;
        FileOffset = record->FileOffset;
        SourceAddressType = (AddressType)record->SourceAddressType;
        DestinationAddressType = (AddressType)record->DestinationAddressType;
        if (sequential == null)
        {
            RelativeTimeTicks = record->RelativeTime;
            TimeSeconds = record->TimeSeconds;
            TimeNanoseconds = record->TimeNanoseconds;
            Encapsulation = record->Encapsulation;
            ProtocolText = protocolText;
            InfoText = infoText;
        }
        else
        {
            RelativeTimeTicks = sequential.RelativeTimeTicks;
            TimeSeconds = sequential.TimeSeconds;
            TimeNanoseconds = sequential.TimeNanoseconds;
            Encapsulation = sequential.Encapsulation;
            ProtocolText = protocolText;
            InfoText = infoText;
        }
        LinkSourceText = Native.Text(record->LinkSourceText, 32);
        LinkDestinationText = Native.Text(record->LinkDestinationText, 32);
        SourceText = Native.Text(record->SourceText, 64);
        DestinationText = Native.Text(record->DestinationText, 64);
    }

    /// <summary>1 for the first packet of the capture.</summary>
    public uint FrameNumber { get; }

    /// <summary>Length on the wire.</summary>
    public uint PacketLength { get; }

    /// <summary>Bytes present in the file.</summary>
    public uint CapturedLength { get; }

    /// <summary>The innermost transport header's port type.</summary>
    public PortType PortType { get; }

    /// <summary>Source port (0 without one).</summary>
    public ushort SourcePort { get; }

    /// <summary>Destination port (0 without one).</summary>
    public ushort DestinationPort { get; }

    /// <summary>Where the packet's record lies in the file.</summary>
    public long FileOffset { get; }

    /// <summary>Time since the first packet, in 100 ns units.</summary>
    public long RelativeTimeTicks { get; }

    /// <summary>Time since the first packet.</summary>
    public TimeSpan RelativeTime => TimeSpan.FromTicks(RelativeTimeTicks);

    /// <summary>Time stamp: seconds since 1970 UTC (exact).</summary>
    public long TimeSeconds { get; }

    /// <summary>Time stamp: nanosecond part (exact).</summary>
    public int TimeNanoseconds { get; }

    /// <summary>
    /// The time stamp as a UTC <see cref="DateTimeOffset"/>, to the 100 ns
    /// that .NET holds (<see cref="TimeSeconds"/> and
    /// <see cref="TimeNanoseconds"/> are exact). Time stamps outside the years
    /// 1 to 9999 (damaged files) give <see cref="DateTimeOffset.MinValue"/> or
    /// <see cref="DateTimeOffset.MaxValue"/>.
    /// </summary>
    public DateTimeOffset Time
    {
        get
        {
            const long minimum = -62135596800L, maximum = 253402300799L; // 0001-01-01, 9999-12-31T23:59:59
            if (TimeSeconds < minimum)
                return DateTimeOffset.MinValue;
            if (TimeSeconds > maximum)
                return DateTimeOffset.MaxValue;
            long ticks = DateTimeOffset.UnixEpoch.Ticks + TimeSeconds * TimeSpan.TicksPerSecond + TimeNanoseconds / 100;
            return ticks > DateTimeOffset.MaxValue.Ticks ? DateTimeOffset.MaxValue
                 : ticks < 0 ? DateTimeOffset.MinValue
                 : new DateTimeOffset(ticks, TimeSpan.Zero);
        }
    }

    /// <summary>Wiretap's link-layer code of the packet.</summary>
    public int Encapsulation { get; }

    /// <summary>The type of <see cref="SourceText"/>'s address.</summary>
    public AddressType SourceAddressType { get; }

    /// <summary>The type of <see cref="DestinationText"/>'s address.</summary>
    public AddressType DestinationAddressType { get; }

    /// <summary>The Protocol column.</summary>
    public string ProtocolText { get; }

    /// <summary>The Info column, whole.</summary>
    public string InfoText { get; }

    /// <summary>Link-layer source address, empty when none.</summary>
    public string LinkSourceText { get; }

    /// <summary>Link-layer destination address, empty when none.</summary>
    public string LinkDestinationText { get; }

    /// <summary>Source as tshark -n's Source column shows it.</summary>
    public string SourceText { get; }

    /// <summary>Destination as tshark -n's Destination column shows it.</summary>
    public string DestinationText { get; }

    // ---- values and what the library answers for the packet ----------------

    /// <summary>
    /// The first occurrence of a registered field in the packet as a typed
    /// value (<see cref="ValueKind.Absent"/> when it does not occur): carried
    /// by the summary for the fields registered before the capture was opened,
    /// else read from the packet (gGetFieldValue).
    /// </summary>
    public unsafe FieldValue GetValue(RegisteredField field)
    {
        int index = Array.FindIndex(Origin.Fields, known => known.Id == field.Id);
        if (index >= 0 && index < values.Length)
            return values[index];
        return Origin.Ask(this, "value", () => (0, Origin.ReadValue(field.Id, "value")));
    }

    /// <summary>
    /// The ids of the group's registered fields that occur in the packet
    /// (gLastPacketHasPassedFilter), in registration order. The by-id getters
    /// below read the fields of the group asked for last with this summary.
    /// </summary>
    /// <exception cref="KeyNotFoundException">The group was never registered.</exception>
    public int[] GetMatchedFields(string group)
    {
        ArgumentNullException.ThrowIfNull(group);
        return Origin.Ask(this, "matched fields", () =>
        {
            int[] ids = Origin.Match(group, "matched fields");
            MatchedGroup = group;
            return (0, ids);
        });
    }

    /// <summary>A field's offset from the TCP/UDP payload, length and type (gGetFieldInfo).</summary>
    public unsafe FieldLocation GetFieldLocation(int fieldId) => Where("field location", &Native.gGetFieldInfo, fieldId);

    /// <summary>A field's start in its data source, length and type (gGetFieldInfoEx).</summary>
    public unsafe FieldLocation GetFieldStart(int fieldId) => Where("field location", &Native.gGetFieldInfoEx, fieldId);

    /// <summary>Offset of the TCP/UDP payload in the frame (gGetTransportProtocolPayloadOffset).</summary>
    public unsafe int GetTransportPayloadOffset() =>
        Origin.Ask(this, "transport payload offset", () => { int n; return (Native.gGetTransportProtocolPayloadOffset(&n), n); });

    /// <summary>Offset of the payload of the first IPv4 header (gGetIPv4ProtocolPayloadOffset).</summary>
    public unsafe int GetIPv4PayloadOffset() =>
        Origin.Ask(this, "IPv4 payload offset", () => { int n; return (Native.gGetIPv4ProtocolPayloadOffset(&n), n); });

    /// <summary>A field's value as an unsigned 64-bit number (gGetUInt64ProtocolFieldValue).</summary>
    public unsafe ulong GetUInt64(int fieldId) =>
        Origin.Ask(this, "uint64 value", () => { ulong v; return (Native.gGetUInt64ProtocolFieldValue(&v, fieldId), v); });

    /// <summary>A field's value as a signed 32-bit number (gGetInt32ProtocolFieldValue).</summary>
    public unsafe int GetInt32(int fieldId) =>
        Origin.Ask(this, "int32 value", () => { int v; return (Native.gGetInt32ProtocolFieldValue(&v, fieldId), v); });

    /// <summary>A field's text (gGetStringProtocolFieldValue).</summary>
    public unsafe string GetString(int fieldId) => TextOf("string value", &Native.gGetStringProtocolFieldValue, fieldId);

    /// <summary>
    /// A field's value of any type as tshark -T fields prints it
    /// (gGetFieldValueText): "0x0018" for tcp.flags, times, addresses, bytes
    /// as hex digits... A protocol gives its filter name.
    /// </summary>
    public unsafe string GetValueText(int fieldId) => TextOf("value text", &Native.gGetFieldValueText, fieldId);

    unsafe FieldLocation Where(string operation, delegate*<int, int*, int*, int*, int> export, int fieldId) =>
        Origin.Ask(this, operation, () =>
        {
            int position, length, type;
            return (export(fieldId, &position, &length, &type), new FieldLocation(position, length, (FieldType)type));
        });

    unsafe string TextOf(string operation, delegate*<byte**, int*, int, int> export, int fieldId) =>
        Origin.Ask(this, operation, () =>
        {
            byte* text;
            int size;
            int status = export(&text, &size, fieldId);
            return (status, status == 0 ? Native.Text(text, size) : "");
        });

    /// <inheritdoc/>
    public override string ToString() =>
        $"{FrameNumber} {SourceText} -> {DestinationText} {ProtocolText} {PacketLength} {InfoText}";
}

/// <summary>
/// A field's value as the library types it (WSB_VALUE_*): <see cref="Value"/>
/// is a <see cref="long"/> (<see cref="ValueKind.Int"/>, and nanoseconds for
/// <see cref="ValueKind.Time"/> and <see cref="ValueKind.Duration"/>), a
/// <see cref="ulong"/>, a <see cref="double"/>, a <see cref="bool"/>, a
/// <see cref="string"/> (the text tshark -T fields prints), or null when absent.
/// </summary>
public readonly record struct FieldValue(ValueKind Kind, object? Value)
{
    /// <summary>False when the field does not occur.</summary>
    public bool IsPresent => Kind != ValueKind.Absent;

    internal static unsafe FieldValue From(WsbBatchValue* value, byte* texts)
    {
        var kind = (ValueKind)value->Kind;
        long bits = value->Value;
        return new FieldValue(kind, kind switch
        {
            ValueKind.Int or ValueKind.Time or ValueKind.Duration => bits,
            ValueKind.UInt => (ulong)bits,
            ValueKind.Double => BitConverter.Int64BitsToDouble(bits),
            ValueKind.Bool => bits != 0,
            ValueKind.Text => System.Text.Encoding.UTF8.GetString(texts + bits, value->TextSize),
            _ => null,
        });
    }

    /// <inheritdoc/>
    public override string ToString() => Value?.ToString() ?? "";
}

/// <summary>A registered field name: the engine's id and the field's type.</summary>
public readonly record struct RegisteredField(string Name, int Id, FieldType Type);

/// <summary>
/// Where a matched field lies: <see cref="Position"/> counts from the
/// TCP/UDP payload (<see cref="Summary.GetFieldLocation"/>) or from the start
/// of its data source (<see cref="Summary.GetFieldStart"/>).
/// </summary>
public readonly record struct FieldLocation(int Position, int Length, FieldType Type);

/// <summary>
/// What <see cref="Capture.Save"/> wrote: the packets written, those the TCP
/// sequence tracker left out and those the filter did not match.
/// </summary>
public sealed record SaveResult(string Path, int Written, int Skipped, int NotMatching);

/// <summary>One segment (TCP) or datagram (UDP) of a followed conversation, rendered.</summary>
public readonly record struct StreamChunk(Direction Sender, string Text);
