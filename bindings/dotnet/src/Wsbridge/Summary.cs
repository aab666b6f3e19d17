// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// One packet as the library summarises it (a PacketSummary with its texts
/// decoded from UTF-8). A summary belongs to the opening of the capture it
/// was read from: it names its packet for re-reading, trees, saving and
/// following while that capture is open; another capture (also the same file
/// opened again) refuses it with <see cref="ArgumentException"/>, and its own
/// capture once closed with <see cref="ObjectDisposedException"/>.
/// </summary>
public sealed class Summary
{
    internal readonly Capture Origin;

    /// <summary>
    /// A summary of a record that sequential reading filled, or (with
    /// <paramref name="sequential"/>) of a record that random access filled:
    /// what only sequential reading writes (times, encapsulation, Protocol
    /// and Info) then comes from the summary the packet was named by.
    /// </summary>
    internal unsafe Summary(Capture origin, PacketSummary* record, string protocolText, string infoText,
                            Summary? sequential = null)
    {
        Origin = origin;
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
            ProtocolText = sequential.ProtocolText;
            InfoText = sequential.InfoText;
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

    /// <summary>The Protocol column (whole when the library hands it out whole, else at most 31 bytes).</summary>
    public string ProtocolText { get; }

    /// <summary>The Info column (whole when the library hands it out whole, else at most 255 bytes).</summary>
    public string InfoText { get; }

    /// <summary>Link-layer source address, empty when none.</summary>
    public string LinkSourceText { get; }

    /// <summary>Link-layer destination address, empty when none.</summary>
    public string LinkDestinationText { get; }

    /// <summary>Source as tshark -n's Source column shows it.</summary>
    public string SourceText { get; }

    /// <summary>Destination as tshark -n's Destination column shows it.</summary>
    public string DestinationText { get; }

    /// <inheritdoc/>
    public override string ToString() =>
        $"{FrameNumber} {SourceText} -> {DestinationText} {ProtocolText} {PacketLength} {InfoText}";
}

/// <summary>A registered field name: the engine's id and the field's type.</summary>
public readonly record struct RegisteredField(string Name, int Id, FieldType Type);

/// <summary>
/// Where a matched field lies: <see cref="Position"/> counts from the
/// TCP/UDP payload (<see cref="Capture.GetFieldLocation"/>) or from the start
/// of its data source (<see cref="Capture.GetFieldStart"/>).
/// </summary>
public readonly record struct FieldLocation(int Position, int Length, FieldType Type);

/// <summary>What <see cref="Capture.Save"/> wrote.</summary>
public sealed record SaveResult(string Path, int Written, uint[] SkippedFrames)
{
    /// <summary>How many packets the TCP sequence tracker left out.</summary>
    public int Skipped => SkippedFrames.Length;
}

/// <summary>One segment (TCP) or datagram (UDP) of a followed conversation, rendered.</summary>
public readonly record struct StreamChunk(Direction Sender, string Text);
