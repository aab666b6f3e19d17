// SPDX-License-Identifier: GPL-2.0-or-later
using System;
using System.Collections;
using System.Collections.Generic;
using System.Linq;
using System.Runtime.InteropServices;
using Wsbridge.Interop;

namespace Wsbridge;

/// <summary>
/// The open capture (see <see cref="Engine.Open"/>). Each enumeration is a
/// pass of its own over the packets, from the first one, as
/// <see cref="Summary"/> objects read in batches (gGetNextPacketBatch): a
/// second enumeration opens the file again and starts over, and an
/// enumeration overtaken by another one (or by <see cref="ReadNext"/>)
/// throws <see cref="InvalidOperationException"/> at its next step.
/// <see cref="ReadNext"/> and <see cref="ReadAll"/> go on from the packet
/// handed out last. Dispose it (or open another capture) to close it; a
/// closed capture and everything read from it throw
/// <see cref="ObjectDisposedException"/>.
/// </summary>
/// <remarks>
/// Trees, <see cref="ReadPacket"/> and what a <see cref="Summary"/> asks the
/// library answer as if the capture had been read one packet at a time: the
/// first of them reads the capture again up to the packet handed out last,
/// and from then on it is read a packet a call.
/// A call that names a packet takes a <see cref="Summary"/> of this capture;
/// one of another capture, or of this file opened before, throws
/// <see cref="ArgumentException"/>.
/// A live capture (<see cref="Engine.OpenLive"/>) is read as its packets
/// arrive and cannot be read again: it is enumerated once, and the packets
/// read ahead stay as they were read.
/// </remarks>
public sealed partial class Capture : IDisposable, IEnumerable<Summary>
{
    // What names a packet of this capture for the library.
    internal readonly record struct Locator(uint FrameNumber, long FileOffset, uint CapturedLength,
                                            uint PacketLength, int Encapsulation);

    const int BatchCapacity = 128;

    readonly Engine engine;
    // A live capture (Engine.OpenLive): read as dumpcap writes it, never again.
    readonly bool live;
    bool open = true;
    bool atEnd;
    string? filter;
    // Packets an enumeration read ahead and has not handed out.
    readonly Queue<Summary> ahead = new();
    // Whether sequential reading began since the file was opened; which
    // enumeration in progress reads (0: none), the last one begun.
    bool started;
    int reader, passes;
    // The packet the library dissected last for the binding, and the
    // library's generation right after: when the generation moved on,
    // another call dissected since.
    Locator? current;
    ulong currentGeneration;
    // The group whose fields the library matched last for that packet.
    string? matchedGroup;
    // Batches read ahead let the engine see packets after the one handed out
    // last. The first call that dissects a packet or asks about one settles
    // reading (Settle): the file is read again up to the packet handed out
    // last, and from then on a packet a call (`single`), so that trees and
    // values are those of a reading one packet at a time (tshark's single
    // pass). `position` is the frame handed out last; `filterChanged` tells
    // that the filter changed after reading began.
    bool single, filterChanged;
    uint position;
    // The registered fields whose values the summaries carry, and the
    // arrays of batch reading, reused.
    internal readonly RegisteredField[] Fields;
    readonly int[] fieldIds;
    PacketSummary[] records = Array.Empty<PacketSummary>();
    WsbBatchValue[] values = Array.Empty<WsbBatchValue>();
    long[] textOffsets = Array.Empty<long>();
    byte[] texts = new byte[1 << 16];

    internal Capture(Engine engine, string path, RegisteredField[] fields, bool live = false)
    {
        this.engine = engine;
        this.live = live;
        Path = path;
        Fields = fields;
        fieldIds = Array.ConvertAll(fields, field => field.Id);
    }

    /// <summary>The engine the capture was opened with.</summary>
    public Engine Engine => engine;

    /// <summary>The file's path as it was given (a live capture: its interface).</summary>
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

    /// <summary>True once sequential reading handed out the last packet of the capture.</summary>
    public bool AtEnd
    {
        get
        {
            lock (Guard.Gate)
                return atEnd && ahead.Count == 0;
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
                           packet.Encapsulation);
    }

    /// <summary>
    /// Closes the capture (gCloseCapture), ending a followed stream. Closing a
    /// closed capture does nothing.
    /// </summary>
    public void Dispose()
    {
        // A read that waits for a live packet holds the lock: dumpcap stops
        // first, so that the read ends.
        Stop();
        lock (Guard.Gate)
        {
            if (!open)
                return;
            Closing();
            open = false;
            if (engine.OpenCapture == this)
            {
                engine.OpenCapture = null;
                engine.Stream = null;
            }
            if (!engine.IsRunningUnlocked)
                return;
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
    /// Null or "" clears it. It ends with the capture. It cannot change while
    /// an enumeration in progress holds packets it read ahead under the
    /// filter before (<see cref="InvalidOperationException"/>); when an
    /// enumeration that stopped part way left such packets for
    /// <see cref="ReadNext"/>, sequential reading starts again from the first
    /// packet under the new filter.
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
                if (ahead.Count > 0 && reader != 0)
                    throw new InvalidOperationException(
                        $"An enumeration in progress read {ahead.Count} packets ahead under the display filter before.");
                string? text = string.IsNullOrEmpty(value) ? null : value;
                Guard.Check("set filter", Native.gSetDisplayFilter(text));
                filterChanged |= started && text != filter;
                filter = text;
                if (ahead.Count > 0 && !live)
                    Reopen();
            }
        }
    }

    /// <summary>
    /// The next packet from where sequential reading stopped (after the
    /// packet handed out last); null at the end of the capture.
    /// </summary>
    /// <exception cref="System.IO.InvalidDataException">The file is damaged (the message tells where).</exception>
    /// <exception cref="WsbridgeException">The engine ran out of memory.</exception>
    public Summary? ReadNext()
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            reader = 0;
            return Next(1);
        }
    }

    /// <summary>Reads the rest of the capture with <see cref="ReadNext"/>.</summary>
    public List<Summary> ReadAll()
    {
        var all = new List<Summary>();
        while (ReadNext() is { } summary)
            all.Add(summary);
        return all;
    }

    /// <summary>
    /// A pass over every packet of the capture from the first one (the file
    /// is opened again when reading began before; a followed stream ends then).
    /// </summary>
    public IEnumerator<Summary> GetEnumerator()
    {
        int pass;
        lock (Guard.Gate)
        {
            CheckOpen();
            if (started)
                Reopen();
            pass = reader = ++passes;
        }
        try
        {
            while (true)
            {
                Summary? next;
                lock (Guard.Gate)
                {
                    CheckOpen();
                    if (reader != pass)
                        throw new InvalidOperationException(
                            "Another enumeration of the capture, or ReadNext, read on since this enumeration began.");
                    next = Next(BatchCapacity);
                }
                if (next == null)
                    yield break;
                yield return next;
            }
        }
        finally
        {
            lock (Guard.Gate)
            {
                if (reader == pass)
                    reader = 0;
            }
        }
    }

    IEnumerator IEnumerable.GetEnumerator() => GetEnumerator();

    // Opens the file again for reading from the first packet under `with`.
    void Reopen(string? with)
    {
        if (live)
            throw new InvalidOperationException(
                "The packets of a live capture cannot be read a second time (dumpcap hands each over once): " +
                "enumerate it once, or go on with ReadNext.");
        engine.Stream = null;
        Guard.Check("open", Native.gOpenCapture(Path), Path);
        Guard.Check("set filter", Native.gSetDisplayFilter(with));
        ahead.Clear();
        atEnd = started = single = filterChanged = false;
        current = null;
    }

    void Reopen() => Reopen(filter);

    // Before a call that dissects a packet or asks about the packet dissected
    // last: unless reading is settled, the file is read again up to the
    // packet handed out last (under the filter reading began with, none when
    // it changed since), which becomes the packet dissected last, and from
    // then on a packet a call.
    void Settle()
    {
        if (single || !started || atEnd)
            return;
        single = true;
        // A live capture cannot be read again: the packets read ahead stay as read.
        if (ahead.Count == 0 || live)
            return;
        bool changed = filterChanged;
        uint frame = position;
        Reopen(changed ? null : filter);
        single = true;
        while (frame != 0 && Next(1) is { } packet && packet.FrameNumber != frame)
        {
        }
        if (changed)
            Guard.Check("set filter", Native.gSetDisplayFilter(filter));
        filterChanged = changed;
    }

    // The next packet while the lock is held, reading a batch of up to
    // `capacity` packets (one when reading is settled) when none is waiting.
    Summary? Next(int capacity)
    {
        if (ahead.Count == 0 && !atEnd)
            ReadBatch(single ? 1 : capacity);
        if (ahead.Count == 0)
            return null;
        Summary next = ahead.Dequeue();
        position = next.FrameNumber;
        return next;
    }

    unsafe void ReadBatch(int capacity)
    {
        started = true;
        int fieldCount = fieldIds.Length;
        if (records.Length < capacity)
        {
            records = new PacketSummary[capacity];
            values = new WsbBatchValue[Math.Max(1, capacity * fieldCount)];
            textOffsets = new long[2 * capacity];
        }
        while (true)
        {
            fixed (PacketSummary* summaries = records)
            fixed (WsbBatchValue* slots = values)
            fixed (long* offsets = textOffsets)
            fixed (byte* space = texts)
            fixed (int* ids = fieldIds)
            {
                var batch = new WsbPacketBatch
                {
                    Capacity = capacity, FieldCount = fieldCount, FieldIds = ids, WholeTexts = 1,
                    Summaries = summaries, Values = slots, ValueCapacity = values.Length,
                    Texts = space, TextCapacity = texts.Length, TextOffsets = offsets,
                };
                int status = Native.gGetNextPacketBatch(&batch);
                if (status == (int)Status.End)
                {
                    atEnd = true;
                    return;
                }
                // Not even one packet's texts fit: more room.
                if (status == (int)Status.Failed && Native.gGetLastErrorCode() == (int)ErrorCode.Limit &&
                    texts.Length < 1 << 30)
                {
                    texts = new byte[texts.Length * 4];
                    continue;
                }
                Guard.Check("read", status);
                for (int i = 0; i < batch.Packets; ++i)
                {
                    var carried = new FieldValue[fieldCount];
                    for (int f = 0; f < fieldCount; ++f)
                    {
                        WsbBatchValue* slot = slots + i * fieldCount + f;
                        carried[f] = FieldValue.From(slot, space);
                    }
                    ahead.Enqueue(new Summary(this, summaries + i, Native.Text(space + offsets[2 * i]),
                                              Native.Text(space + offsets[2 * i + 1]), carried));
                }
                // The batch's last packet is the current one unless a packet
                // is left pending for the next call (a short batch).
                if (batch.Packets == capacity)
                    Dissected(Locate(ahead.Last(), "packet"));
                else
                    current = null;
                return;
            }
        }
    }

    /// <summary>
    /// The number of decimals of the time stamp of the packet sequential
    /// reading reached last (gGetPacketTimePrecision): 0, 1, 2, 3, 6 or 9.
    /// </summary>
    public unsafe int TimePrecision
    {
        get
        {
            int decimals;
            lock (Guard.Gate)
            {
                CheckOpen();
                Guard.Check("time precision", Native.gGetPacketTimePrecision(&decimals));
            }
            return decimals;
        }
    }

    // ---- random access, trees and the packet dissected last ---------------

    void Dissected(Locator packet)
    {
        current = packet;
        matchedGroup = null;
        currentGeneration = Guard.Generation();
    }

    // Makes the packet the one the library dissected last, re-reading it
    // unless it still is: what the library answers for the packet dissected
    // last is then this packet's.
    unsafe void Dissect(Locator at, PacketSummary* record, string operation)
    {
        if (record == null && current == at && currentGeneration == Guard.Generation())
            return;
        current = null;
        Guard.Check(operation, Native.gGetPacketAtOffset(record, at.FrameNumber, at.FileOffset,
                                                         (int)at.CapturedLength, at.PacketLength, at.Encapsulation));
        Dissected(at);
    }

    /// <summary>
    /// Asks the library about <paramref name="packet"/>: under the lock, with
    /// the packet dissected (again when another dissection came between).
    /// </summary>
    internal unsafe T Ask<T>(Summary packet, string operation, Func<(int Status, T Value)> call)
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            Locator at = Locate(packet, nameof(packet));
            Settle();
            Dissect(at, null, operation);
            // The by-id getters read the fields of the group asked for last with this packet.
            if (packet.MatchedGroup is { } group && group != matchedGroup)
                Match(group, operation);
            (int status, T value) = call();
            Guard.Check(operation, status);
            return value;
        }
    }

    // The ids of the group's fields that occur in the packet dissected last
    // (gLastPacketHasPassedFilter); they are the matched fields from then on.
    internal unsafe int[] Match(string group, string operation)
    {
        int count = 0;
        int* ids = null;
        Guard.Check(operation, Native.gLastPacketHasPassedFilter(group, &count, &ids));
        matchedGroup = group;
        return ids == null || count <= 0 ? Array.Empty<int>() : new ReadOnlySpan<int>(ids, count).ToArray();
    }

    /// <summary>
    /// Re-reads and re-dissects a packet by its summary (gGetPacketAtOffset).
    /// What only sequential reading fills (times, encapsulation, Protocol and
    /// Info) is taken from <paramref name="packet"/>; the values of the
    /// registered fields are read again.
    /// </summary>
    public unsafe Summary ReadPacket(Summary packet)
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            Locator at = Locate(packet, nameof(packet));
            Settle();
            PacketSummary record;
            Dissect(at, &record, "packet");
            var carried = new FieldValue[Fields.Length];
            for (int f = 0; f < Fields.Length; ++f)
                carried[f] = ReadValue(Fields[f].Id, "packet");
            return new Summary(this, &record, packet.ProtocolText, packet.InfoText, carried, packet);
        }
    }

    internal unsafe FieldValue ReadValue(int fieldId, string operation)
    {
        WsbBatchValue value;
        byte* text = null;
        Guard.Check(operation, Native.gGetFieldValue(fieldId, &value, &text));
        return FieldValue.From(&value, text);
    }

    /// <summary>
    /// Re-reads a packet by its summary and builds its protocol tree
    /// (gBuildPacketProtocolTree). The texts and positions of the nodes stay
    /// readable; their values (<see cref="Node.ValueText"/>...) only until
    /// another packet is dissected.
    /// </summary>
    public unsafe Tree BuildTree(Summary packet)
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            Locator at = Locate(packet, nameof(packet));
            Settle();
            int length = 0, count;
            byte* data = null;
            current = null;
            Guard.Check("tree", Native.gBuildPacketProtocolTree(&length, &data, at.FrameNumber, at.FileOffset,
                                                                (int)at.CapturedLength, at.PacketLength,
                                                                at.Encapsulation));
            byte[] bytes = length > 0 && data != null ? new ReadOnlySpan<byte>(data, length).ToArray() : Array.Empty<byte>();
            Guard.Check("tree", Native.gGetProtocolTreeNodesCount(&count));
            var tree = new Tree(this, packet, bytes, count, Guard.Generation());
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

    // ---- saving ------------------------------------------------------------

    /// <summary>
    /// Writes packets of the capture into a new file at <paramref name="path"/>
    /// in <paramref name="format"/> (gSaveFrames): the packets given, in the
    /// order given (null: every packet in capture order; none: a valid empty
    /// capture), of them those that match <paramref name="filter"/> when one
    /// is given, as tshark -Y in its single pass chooses them. The capture is
    /// read from its first record for this, whatever was read or filtered
    /// before, and reading goes on as it was. pcapng keeps interfaces,
    /// several link-layer types and comments. With
    /// <paramref name="dropTcpRetransmissions"/> the library's TCP sequence
    /// tracker leaves out the packets of the first TCP conversation saved that
    /// only repeat bytes already written. Without a format, as the command
    /// line chooses: pcapng for a name ending in .pcapng, libpcap for .pcap
    /// (nanosecond stamps when the capture's are finer than microseconds),
    /// else the capture's own format.
    /// </summary>
    public unsafe SaveResult Save(string path, IEnumerable<Summary>? packets = null, SaveFormat? format = null,
                                  string? filter = null, bool dropTcpRetransmissions = false)
    {
        ArgumentException.ThrowIfNullOrEmpty(path);
        lock (Guard.Gate)
        {
            CheckOpen();
            format ??= SaveFormat.ByName;
            uint[]? frames = packets?.Select(packet => Locate(packet, nameof(packets)).FrameNumber).ToArray();
            int written, skipped, notMatching;
            current = null;
            // An empty selection is a pointer with count 0 (null: every packet).
            fixed (uint* numbers = frames is { Length: > 0 } ? frames : new uint[1])
                Guard.Check("save", Native.gSaveFrames(path, (int)format.Value, frames == null ? null : numbers,
                                                       frames?.Length ?? 0, filter, dropTcpRetransmissions ? 1 : 0,
                                                       &written, &skipped, &notMatching), path);
            return new SaveResult(path, written, skipped, notMatching);
        }
    }

    // ---- following ---------------------------------------------------------

    /// <summary>
    /// Follows the TCP conversation of <paramref name="packet"/> over the
    /// whole capture (gFollowConversation), whatever the display filter and
    /// however far reading came; sequential reading goes on unchanged. A
    /// conversation without payload gives a stream whose
    /// <see cref="FollowedStream.IsValid"/> is false. Starting a follow ends
    /// the stream followed before.
    /// </summary>
    /// <exception cref="WsbridgeException">The packet is no TCP packet.</exception>
    public FollowedStream FollowTcp(Summary packet) => Follow(true, packet);

    /// <summary>As <see cref="FollowTcp"/>, for the UDP conversation of <paramref name="packet"/>.</summary>
    public FollowedStream FollowUdp(Summary packet) => Follow(false, packet);

    FollowedStream Follow(bool tcp, Summary packet)
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            current = null;
            return FollowedStream.Follow(this, tcp, Locate(packet, nameof(packet)));
        }
    }

    // ---- statistics ----------------------------------------------------------

    /// <summary>
    /// The conversations of a protocol ("eth", "ip", "ipv6", "tcp", "udp", ...)
    /// over the whole capture, as tshark -z conv,PROTOCOL[,FILTER] counts them,
    /// the most packets first. See <see cref="StatisticsText"/> for how they
    /// are counted.
    /// </summary>
    /// <exception cref="NotSupportedException">The protocol has no conversation tables.</exception>
    /// <exception cref="ArgumentException">The filter does not compile.</exception>
    public List<Conversation> Conversations(string protocol = "ip", string? filter = null) =>
        Count(new[] { Request("conv", protocol, filter) }, tables => StatisticsTables.Conversations(tables[0]));

    /// <summary>The endpoints of a protocol as tshark -z endpoints,PROTOCOL[,FILTER] counts them.</summary>
    public List<Endpoint> Endpoints(string protocol = "ip", string? filter = null) =>
        Count(new[] { Request("endpoints", protocol, filter) }, tables => StatisticsTables.Endpoints(tables[0]));

    /// <summary>The protocol hierarchy as tshark -z io,phs[,FILTER] counts it, in its order.</summary>
    public List<HierarchyRow> ProtocolHierarchy(string? filter = null) =>
        Count(new[] { Request("io,phs", null, filter) }, tables => StatisticsTables.Hierarchy(tables[0]));

    /// <summary>
    /// Traffic per interval as tshark -z io,stat,INTERVAL,SERIES... counts it:
    /// <paramref name="interval"/> in seconds (0: the whole capture), a series per
    /// filter (a display filter, or FRAMES(), BYTES(), COUNT(FIELD), SUM(FIELD),
    /// MIN(FIELD), MAX(FIELD), AVG(FIELD) followed by a filter; none: every
    /// packet). A row per interval and series, every interval up to the
    /// capture's last packet.
    /// </summary>
    public List<IntervalRow> Io(double interval = 1, params string[] filters)
    {
        string request = StatisticsTables.IoRequest(interval, filters);
        string[] series = filters.Length == 0 ? new[] { "" } : filters;
        return Count(new[] { request }, tables =>
        {
            string text = TextOf(tables[0]);
            return StatisticsTables.Intervals(tables[0], interval, series, text);
        });
    }

    /// <summary>
    /// A table as <c>tshark -n -q -z REQUEST</c> prints it, for any request
    /// the library takes ("conv,tcp", "endpoints,ip", "io,phs",
    /// "io,stat,1,tcp"). Every statistics call counts the whole capture in a
    /// pass of its own (the library counts while it reads in sequence and
    /// takes requests only while no capture is open), whatever was read
    /// before and whatever display filter is set (as tshark -Y leaves the
    /// tables whole); afterwards the capture is open again from its first
    /// packet with its filter: ReadNext starts over, an enumeration in
    /// progress throws and a followed stream ends.
    /// </summary>
    public string StatisticsText(string request)
    {
        ArgumentNullException.ThrowIfNull(request);
        return Count(new[] { request }, tables => TextOf(tables[0]));
    }

    static string Request(string kind, string? protocol, string? filter)
    {
        if (protocol != null && protocol.Length == 0)
            throw new ArgumentException("A protocol name is needed.", nameof(protocol));
        string request = protocol == null ? kind : kind + "," + protocol;
        return string.IsNullOrEmpty(filter) ? request : request + "," + filter;
    }

    static unsafe string TextOf(int table)
    {
        byte* text;
        int size;
        Guard.Check("statistics", Native.gGetStatisticsText(table, &text, &size));
        return Native.Text(text, size);
    }

    // Asks for the tables, reads the capture from its first packet to its end
    // without the Protocol and Info texts (as tshark -q), takes what `take`
    // takes of them, forgets them and opens the capture again.
    unsafe T Count<T>(string[] requests, Func<int[], T> take)
    {
        lock (Guard.Gate)
        {
            CheckOpen();
            engine.Stream = null;
            current = null;
            // Enumerations in progress end: the capture starts over afterwards.
            reader = 0;
            ++passes;
            Guard.Check("statistics", Native.gCloseCapture());
            try
            {
                Guard.Check("statistics", Native.gClearStatistics());
                var tables = new int[requests.Length];
                for (int i = 0; i < requests.Length; ++i)
                {
                    int table;
                    Guard.Check("statistics", Native.gRequestStatistics(requests[i], &table));
                    tables[i] = table;
                }
                Guard.Check("open", Native.gOpenCapture(Path), Path);
                Native.gSetSummaryTexts(0);
                try
                {
                    PacketSummary summary;
                    int status;
                    while ((status = Native.gGetNextPacket(&summary)) == (int)Status.Ok)
                    {
                    }
                    if (status != (int)Status.End)
                        throw Guard.Failure("read", status);
                }
                finally
                {
                    Native.gSetSummaryTexts(1);
                }
                return take(tables);
            }
            finally
            {
                Native.gCloseCapture();
                Native.gClearStatistics();
                Reopen();
            }
        }
    }
}
