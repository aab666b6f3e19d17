// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections;
using System.Collections.Generic;
using System.Text;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// The open capture (see <see cref="Engine.Open"/>). Enumerating it reads the
/// packets in sequence (gGetNextPacket) as <see cref="Summary"/> objects: the
/// reading goes on where it stopped (a capture is read once; a second
/// enumeration continues, and ends at once at the end of the capture).
/// Dispose it (or open another capture) to close it; a closed capture and
/// everything read from it throw <see cref="ObjectDisposedException"/>.
/// </summary>
/// <remarks>
/// A call that names a packet takes a <see cref="Summary"/> of this capture;
/// one of another capture, or of this file opened before, throws
/// <see cref="ArgumentException"/>.
/// </remarks>
public sealed class Capture : IDisposable, IEnumerable<Summary>
{
    // What names a packet of this capture for the library: its locator and
    // the time stamp a save writes.
    internal readonly record struct Locator(uint FrameNumber, long FileOffset, uint CapturedLength,
                                            uint PacketLength, int Encapsulation, long TimeSeconds,
                                            int TimeNanoseconds);

    readonly Engine engine;
    bool open = true;
    bool atEnd;
    string? filter;
    // The locators of every packet read in sequence, for following over the
    // whole capture.
    readonly List<Locator> sequence = new();

    internal Capture(Engine engine, string path)
    {
        this.engine = engine;
        Path = path;
    }

    /// <summary>The engine the capture was opened with.</summary>
    public Engine Engine => engine;

    /// <summary>The file's path as it was given.</summary>
    public string Path { get; }

    /// <summary>True once the capture is closed (disposed, another capture opened, the engine shut down).</summary>
    public bool IsClosed
    {
        get
        {
            lock (Guard.Gate)
                return !open;
        }
    }

    /// <summary>True once sequential reading reached the end of the capture.</summary>
    public bool AtEnd
    {
        get
        {
            lock (Guard.Gate)
                return atEnd;
        }
    }

    internal void Forget() => open = false;

    internal void CheckOpen()
    {
        engine.CheckRunning();
        if (!open)
            throw new ObjectDisposedException(nameof(Capture), $"The capture \"{Path}\" is closed.");
    }

    internal Locator Locate(Summary? packet, string parameter)
    {
        ArgumentNullException.ThrowIfNull(packet, parameter);
        Capture origin = packet.Origin;
        if (origin != this)
        {
            string where = origin.open ? "a capture that is open" : "a capture that was closed";
            throw new ArgumentException(
                $"Frame {packet.FrameNumber} was read from \"{origin.Path}\" ({where}), not from this capture of \"{Path}\".",
                parameter);
        }
        return new Locator(packet.FrameNumber, packet.FileOffset, packet.CapturedLength, packet.PacketLength,
                           packet.Encapsulation, packet.TimeSeconds, packet.TimeNanoseconds);
    }

    /// <summary>
    /// Closes the capture (gCloseCapture), ending a followed stream. Closing a
    /// closed capture does nothing.
    /// </summary>
    public void Dispose()
    {
        lock (Guard.Gate)
        {
            if (!open)
                return;
            open = false;
            if (engine.OpenCapture == this)
            {
                engine.OpenCapture = null;
                engine.Stream = null;
            }
            if (!engine.IsRunningUnlocked)
                return;
            engine.Dissected();
            Native.gFreePacketProtocolTree();  // the records of the last tree
            Native.gSetDisplayFilter(null);    // the next capture starts unfiltered
            Guard.Check("close", Native.gCloseCapture());
        }
    }

    /// <inheritdoc/>
    public override string ToString() => $"capture \"{Path}\"{(IsClosed ? " (closed)" : "")}";

    // ---- sequential reading ----------------------------------------------

    /// <summary>
    /// The display filter of sequential reading, or null (gSetDisplayFilter):
    /// from the next packet on only the packets that match it are read, as
    /// tshark -Y does in its single pass (the others are still dissected, so
    /// frame numbers, times and conversations are those of the whole file).
    /// Null or "" clears it. It ends with the capture.
    /// </summary>
    /// <exception cref="ArgumentException">The filter does not compile (the filter before stays).</exception>
    public string? Filter
    {
        get
        {
            lock (Guard.Gate)
                return filter;
        }
        set
        {
            lock (Guard.Gate)
            {
                CheckOpen();
                string? text = string.IsNullOrEmpty(value) ? null : value;
                Guard.Check("set filter", Native.gSetDisplayFilter(text), Guard.Kind.Setting);
                filter = text;
            }
        }
    }

    /// <summary>Reads the next packet; null at the end of the capture.</summary>
    /// <exception cref="WsbridgeException">The file is damaged (the message tells where) or the engine ran out of memory.</exception>
    public Summary? ReadNext()
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            return Next(true);
        }
    }

    // Reads the next packet while the lock is held; builds its Summary when
    // asked (null at the end either way).
    unsafe Summary? Next(bool summarise)
    {
        if (atEnd)
            return null;
        PacketSummary record;
        int status = Native.gGetNextPacket(&record);
        engine.Dissected();
        if (status != (int)Status.Ok)
        {
            if (status == (int)Status.End)
            {
                atEnd = true;
                return null;
            }
            throw Guard.Failure("read", status);
        }
        sequence.Add(new Locator(record.FrameNumber, record.FileOffset, record.CapturedLength, record.PacketLength,
                                 record.Encapsulation, record.TimeSeconds, record.TimeNanoseconds));
        if (!summarise)
            return null;
        string protocol, info;
        byte* protocolText, infoText;
        int protocolSize, infoSize;
        if (Native.HasPacketTexts && Native.gGetPacketTexts(&protocolText, &protocolSize, &infoText, &infoSize) == 0)
        {
            // Sizes without the NUL here.
            protocol = protocolSize > 0 ? Encoding.UTF8.GetString(protocolText, protocolSize) : "";
            info = infoSize > 0 ? Encoding.UTF8.GetString(infoText, infoSize) : "";
        }
        else
        {
            protocol = Native.Text(record.ProtocolText, 32);
            info = Native.Text(record.InfoText, 256);
        }
        return new Summary(this, &record, protocol, info);
    }

    /// <summary>Reads the rest of the capture.</summary>
    public List<Summary> ReadAll()
    {
        var all = new List<Summary>();
        while (ReadNext() is { } summary)
            all.Add(summary);
        return all;
    }

    /// <summary>Reads the packets from where reading stopped to the end of the capture.</summary>
    public IEnumerator<Summary> GetEnumerator()
    {
        while (ReadNext() is { } summary)
            yield return summary;
    }

    IEnumerator IEnumerable.GetEnumerator() => GetEnumerator();

    /// <summary>
    /// The number of decimals of the time stamp of the packet read last
    /// (gGetPacketTimePrecision): 0, 1, 2, 3, 6 or 9.
    /// </summary>
    public unsafe int TimePrecision => Read<int>("time precision", &Native.gGetPacketTimePrecision);

    // ---- random access and trees -------------------------------------------

    /// <summary>
    /// Re-reads and re-dissects a packet by its summary (gGetPacketAtOffset);
    /// it becomes the packet dissected last. What only sequential reading
    /// fills (times, encapsulation, Protocol and Info) is taken from
    /// <paramref name="packet"/>.
    /// </summary>
    public unsafe Summary Packet(Summary packet)
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            Locator at = Locate(packet, nameof(packet));
            PacketSummary record;
            int status = Native.gGetPacketAtOffset(&record, at.FrameNumber, at.FileOffset, (int)at.CapturedLength,
                                                   at.PacketLength, at.Encapsulation);
            engine.Dissected();
            Guard.Check("packet", status);
            return new Summary(this, &record, "", "", packet);
        }
    }

    /// <summary>
    /// Re-reads a packet by its summary and returns its protocol tree
    /// (gBuildPacketProtocolTree). The texts and positions of the nodes stay
    /// readable; their values (<see cref="Node.ValueText"/>...) only until
    /// another packet is dissected.
    /// </summary>
    public unsafe Tree Tree(Summary packet)
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            Locator at = Locate(packet, nameof(packet));
            int length = 0;
            byte* data = null;
            int status = Native.gBuildPacketProtocolTree(&length, &data, at.FrameNumber, at.FileOffset,
                                                         (int)at.CapturedLength, at.PacketLength, at.Encapsulation);
            engine.Dissected();
            Guard.Check("tree", status);
            byte[] bytes = length > 0 && data != null ? new ReadOnlySpan<byte>(data, length).ToArray() : Array.Empty<byte>();
            int count;
            Guard.Check("tree", Native.gGetProtocolTreeNodesCount(&count));
            var tree = new Tree(this, packet, bytes, count, engine.Dissections);
            TreeNode node;
            for (int position = 0; position < count; ++position)
            {
                Guard.Check("tree", Native.gGetTreeNodeByIndex(&node, position));
                tree.Add(&node);
            }
            tree.Link();
            return tree;
        }
    }

    // ---- matched fields and values ------------------------------------------

    /// <summary>
    /// The ids of the group's registered fields that occurred in the packet
    /// dissected last (gLastPacketHasPassedFilter), in registration order;
    /// they become the matched fields that the by-id getters read.
    /// </summary>
    /// <exception cref="KeyNotFoundException">The group was never registered.</exception>
    public unsafe int[] MatchedFields(string group)
    {
        ArgumentNullException.ThrowIfNull(group);
        lock (Guard.Gate)
        {
            CheckOpen();
            int count = 0;
            int* ids = null;
            Guard.Check("matched fields", Native.gLastPacketHasPassedFilter(group, &count, &ids), Guard.Kind.UnknownName);
            return ids == null || count <= 0 ? Array.Empty<int>() : new ReadOnlySpan<int>(ids, count).ToArray();
        }
    }

    /// <summary>A matched field's offset from the TCP/UDP payload, length and type (gGetFieldInfo).</summary>
    public unsafe FieldLocation GetFieldLocation(int fieldId) =>
        FieldAt("field location", &Native.gGetFieldInfo, fieldId);

    /// <summary>A matched field's start in its data source, length and type (gGetFieldInfoEx).</summary>
    public unsafe FieldLocation GetFieldStart(int fieldId) =>
        FieldAt("field location", &Native.gGetFieldInfoEx, fieldId);

    /// <summary>Offset of the TCP/UDP payload in the frame (gGetTransportProtocolPayloadOffset).</summary>
    public unsafe int TransportPayloadOffset() =>
        Read<int>("transport payload offset", &Native.gGetTransportProtocolPayloadOffset);

    /// <summary>Offset of the payload of the first IPv4 header (gGetIPv4ProtocolPayloadOffset).</summary>
    public unsafe int IPv4PayloadOffset() => Read<int>("IPv4 payload offset", &Native.gGetIPv4ProtocolPayloadOffset);

    /// <summary>A matched field's value as an unsigned 64-bit number (gGetUInt64ProtocolFieldValue).</summary>
    public unsafe ulong GetUInt64(int fieldId) =>
        ValueOf<ulong>("uint64 value", &Native.gGetUInt64ProtocolFieldValue, fieldId);

    /// <summary>A matched field's value as a signed 32-bit number (gGetInt32ProtocolFieldValue).</summary>
    public unsafe int GetInt32(int fieldId) => ValueOf<int>("int32 value", &Native.gGetInt32ProtocolFieldValue, fieldId);

    /// <summary>A matched field's text (gGetStringProtocolFieldValue).</summary>
    public unsafe string GetString(int fieldId) => TextOf("string value", &Native.gGetStringProtocolFieldValue, fieldId);

    /// <summary>
    /// A matched field's value of any type as tshark -T fields prints it
    /// (gGetFieldValueText): "0x0018" for tcp.flags, times, addresses, bytes
    /// as hex digits... A protocol read in sequence gives its filter name.
    /// </summary>
    public unsafe string GetValueText(int fieldId) => TextOf("value text", &Native.gGetFieldValueText, fieldId);

    // The getters above: each asks one export of the open capture under the
    // lock and throws its failure as `operation`.

    unsafe T Read<T>(string operation, delegate*<T*, int> export) where T : unmanaged
    {
        T value;
        lock (Guard.Gate)
        {
            CheckOpen();
            Guard.Check(operation, export(&value));
        }
        return value;
    }

    unsafe T ValueOf<T>(string operation, delegate*<T*, int, int> export, int fieldId) where T : unmanaged
    {
        T value;
        lock (Guard.Gate)
        {
            CheckOpen();
            Guard.Check(operation, export(&value, fieldId));
        }
        return value;
    }

    unsafe FieldLocation FieldAt(string operation, delegate*<int, int*, int*, int*, int> export, int fieldId)
    {
        int position, length, type;
        lock (Guard.Gate)
        {
            CheckOpen();
            Guard.Check(operation, export(fieldId, &position, &length, &type));
        }
        return new FieldLocation(position, length, (FieldType)type);
    }

    unsafe string TextOf(string operation, delegate*<byte**, int*, int, int> export, int fieldId)
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            byte* text;
            int size;
            Guard.Check(operation, export(&text, &size, fieldId));
            return Native.Text(text, size);
        }
    }

    // ---- saving ------------------------------------------------------------

    /// <summary>
    /// Writes the given packets, in the order given, into a new libpcap file
    /// (gCreateCaptureFileForSave, gSavePacketToCaptureFile per packet,
    /// gCloseCaptureFileForSave). With <paramref name="dropTcpRetransmissions"/>
    /// the library's TCP sequence tracker leaves out the packets of the
    /// tracked conversation that only repeat bytes already written.
    /// Every packet is checked before the file is made; the file is closed
    /// also when a packet fails.
    /// </summary>
    public unsafe SaveResult Save(string path, IEnumerable<Summary> packets, bool dropTcpRetransmissions = false)
    {
        ArgumentException.ThrowIfNullOrEmpty(path);
        ArgumentNullException.ThrowIfNull(packets);
        lock (Guard.Gate)
        {
            CheckOpen();
            var requests = new List<SavePacketRequest>();
            foreach (Summary packet in packets)
            {
                Locator at = Locate(packet, nameof(packets));
                requests.Add(new SavePacketRequest
                {
                    FrameNumber = at.FrameNumber,
                    PacketLength = at.PacketLength,
                    CapturedLength = at.CapturedLength,
                    FileOffset = at.FileOffset,
                    TimeSeconds = at.TimeSeconds,
                    TimeNanoseconds = at.TimeNanoseconds,
                    Encapsulation = at.Encapsulation,
                    SkipFlag = dropTcpRetransmissions ? (byte)1 : (byte)0,
                });
            }
            Guard.Check("save", Native.gCreateCaptureFileForSave(path));
            int written = 0;
            var skippedFrames = new List<uint>();
            try
            {
                foreach (SavePacketRequest request in requests)
                {
                    SavePacketRequest copy = request;
                    byte skipped = 0;
                    int status = Native.gSavePacketToCaptureFile(&skipped, &copy);
                    engine.Dissected();
                    Guard.Check("save", status);
                    if (skipped != 0)
                        skippedFrames.Add(request.FrameNumber);
                    else
                        ++written;
                }
            }
            catch
            {
                Native.gCloseCaptureFileForSave();
                throw;
            }
            Guard.Check("save", Native.gCloseCaptureFileForSave());
            return new SaveResult(path, written, skippedFrames.ToArray());
        }
    }

    // ---- following ---------------------------------------------------------

    /// <summary>
    /// Follows the TCP conversation of <paramref name="packet"/> over
    /// <paramref name="packets"/> (by default every packet read in sequence:
    /// the rest of the capture is read first). A conversation without
    /// payload gives a stream whose <see cref="FollowedStream.IsValid"/> is
    /// false. Starting a follow ends the stream followed before.
    /// </summary>
    /// <exception cref="WsbridgeException">The packet is no TCP packet.</exception>
    public FollowedStream FollowTcp(Summary packet, IEnumerable<Summary>? packets = null) =>
        Follow(true, packet, packets);

    /// <summary>As <see cref="FollowTcp"/>, for the UDP conversation of <paramref name="packet"/>.</summary>
    public FollowedStream FollowUdp(Summary packet, IEnumerable<Summary>? packets = null) =>
        Follow(false, packet, packets);

    FollowedStream Follow(bool tcp, Summary packet, IEnumerable<Summary>? packets)
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            Locator start = Locate(packet, nameof(packet));
            if (packets == null)
            {
                // The follow only reads the list, under this lock: no copy.
                while (!atEnd)
                    Next(false);
                return FollowedStream.Follow(this, tcp, start, sequence);
            }
            var members = new List<Locator>();
            foreach (Summary member in packets)
                members.Add(Locate(member, nameof(packets)));
            return FollowedStream.Follow(this, tcp, start, members);
        }
    }
}
