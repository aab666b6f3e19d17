// SPDX-License-Identifier: GPL-2.0-or-later
using System.Buffers.Binary;
using System.Globalization;
using System.Text;
using System.Xml;
using Wsbridge;
using Xunit;

namespace Wsbridge.Tests;

/// <summary>
/// The binding over the shared test captures against the engine's own
/// tshark (and editcap): the same results as the C tests' oracles give.
/// </summary>
[Collection("engine")]
public sealed class OracleTests
{
    readonly Engine engine;

    public OracleTests(EngineFixture fixture) => engine = fixture.Engine;

    // ---- summaries ------------------------------------------------------------

    sealed record Row(string Number, string Offset, string Length, string Captured, string Epoch, string Protocol,
                      string Info, string Source = "", string Destination = "");

    // The packets as tshark shows them in one pass with the library's
    // preferences: fields and the Protocol and Info columns (with MAC name
    // resolution as in Info), then tshark -n's Source and Destination.
    static (List<Row> Rows, int Status) TsharkRows(string path)
    {
        Programs.Result columns = Programs.Tshark("-r", path, "-o", "frame.show_file_off:TRUE",
            "-o", "gui.column.format:\"P\",\"%p\",\"I\",\"%i\"", "-T", "fields", "-E", "separator=/t",
            "-e", "frame.number", "-e", "frame.file_off", "-e", "frame.len", "-e", "frame.cap_len",
            "-e", "frame.time_epoch", "-e", "_ws.col.P", "-e", "_ws.col.I");
        var rows = columns.Lines.Select(line => line.Split('\t')).Where(fields => fields.Length == 7)
            .Select(f => new Row(f[0], f[1], f[2], f[3], f[4], f[5], f[6])).ToList();
        Programs.Result addresses = Programs.Tshark("-n", "-r", path,
            "-o", "gui.column.format:\"S\",\"%s\",\"D\",\"%d\"", "-T", "fields", "-E", "separator=/t",
            "-e", "frame.number", "-e", "_ws.col.S", "-e", "_ws.col.D");
        int index = 0;
        foreach (string[] fields in addresses.Lines.Select(line => line.Split('\t')).Where(f => f.Length == 3))
        {
            if (index < rows.Count && rows[index].Number == fields[0])
            {
                rows[index] = rows[index] with { Source = fields[1], Destination = fields[2] };
                ++index;
            }
        }
        Assert.Equal(rows.Count, index);
        return (rows, columns.ExitCode);
    }

    // A Source or Destination column text without the role a dissector adds
    // in parentheses ("00:0b:86:11:22:33 (RA)" -> "00:0b:86:11:22:33").
    static string WithoutRole(string text)
    {
        int open = text.LastIndexOf(" (", StringComparison.Ordinal);
        return text.EndsWith(')') && open >= 0 ? text[..open] : text;
    }

    // The library keeps at most `limit` bytes of some texts, cut on a whole
    // character: the text is tshark's, or its beginning when tshark's is longer.
    static void EqualOrCut(string expected, string actual, int limit, string what)
    {
        if (actual == expected)
            return;
        Assert.True(Encoding.UTF8.GetByteCount(expected) > limit && Encoding.UTF8.GetByteCount(actual) <= limit &&
                    expected.StartsWith(actual.TrimEnd('\uFFFD'), StringComparison.Ordinal),
                    $"{what}: \"{actual}\" is not \"{expected}\" (or its first {limit} bytes)");
    }

    // The time stamp to 100 ns; beyond what DateTimeOffset holds, its limits.
    static DateTimeOffset ExpectedTime(long seconds, int nanoseconds)
    {
        try
        {
            return DateTimeOffset.UnixEpoch.AddSeconds(seconds).AddTicks(nanoseconds / 100);
        }
        catch (ArgumentOutOfRangeException)
        {
            return seconds < 0 ? DateTimeOffset.MinValue : DateTimeOffset.MaxValue;
        }
    }

    [Theory]
    [MemberData(nameof(TestPaths.CaptureNames), MemberType = typeof(TestPaths))]
    public void SummariesEqualTsharkColumns(string name)
    {
        string path = TestPaths.Capture(name);
        (List<Row> rows, int tsharkStatus) = TsharkRows(path);
        Capture capture;
        try
        {
            capture = engine.Open(path);
        }
        catch (Exception error) when (error.InnerException is WsbridgeException)
        {
            Assert.True(rows.Count == 0, $"tshark read a file the library refused: {error.Message}");
            Assert.NotEmpty(error.Message);
            return;
        }
        int index = 0;
        using (capture)
        {
            try
            {
                foreach (Summary packet in capture)
                {
                    Assert.True(index < rows.Count, "more packets than tshark shows");
                    Row row = rows[index++];
                    string frame = $"{name} frame {row.Number}";
                    Assert.Equal(row.Number, packet.FrameNumber.ToString(CultureInfo.InvariantCulture));
                    Assert.Equal(row.Offset, packet.FileOffset.ToString(CultureInfo.InvariantCulture));
                    Assert.Equal(row.Length, packet.PacketLength.ToString(CultureInfo.InvariantCulture));
                    Assert.Equal(row.Captured, packet.CapturedLength.ToString(CultureInfo.InvariantCulture));
                    Assert.Equal(row.Epoch, $"{packet.TimeSeconds}.{packet.TimeNanoseconds:D9}");
                    Assert.Equal(ExpectedTime(packet.TimeSeconds, packet.TimeNanoseconds), packet.Time);
                    Assert.Equal(row.Protocol, packet.ProtocolText);
                    Assert.Equal(row.Info, packet.InfoText);
                    EqualOrCut(WithoutRole(row.Source), packet.SourceText, 62, frame + " Source");
                    EqualOrCut(WithoutRole(row.Destination), packet.DestinationText, 62, frame + " Destination");
                    Assert.True(packet.SourceAddressType == AddressType.None || packet.SourceText.Length > 0, frame);
                }
            }
            catch (Exception error) when (error is WsbridgeException || error.InnerException is WsbridgeException)
            {
                // The library stopped where tshark reported the file as damaged.
                Assert.True(tsharkStatus != 0, $"{name}: {error.Message}");
                Assert.Equal(Status.Failed, ((error.InnerException ?? error) as WsbridgeException)!.Status);
                Assert.NotEmpty(error.Message);
            }
            Assert.Equal(rows.Count, index);
        }
    }

    // ---- trees ----------------------------------------------------------------

    // ShowName: the item's label (show for text-only items); null where PDML
    // has none (the Data protocol's item).
    sealed record PdmlNode(int Depth, string Name, int? Position, int Size, string? ShowName);

    // The visible items of each packet of tshark -T pdml, in document order.
    // "geninfo" (PDML's summary of the frame) has no item in the tree, hidden
    // items (hide="yes") are left out with everything below them, and
    // "fake-field-wrapper" only wraps top-level items that are not protocols.
    static List<List<PdmlNode>> ParsePdml(string pdml)
    {
        var packets = new List<List<PdmlNode>>();
        using XmlReader reader = XmlReader.Create(new StringReader(pdml),
            new XmlReaderSettings { DtdProcessing = DtdProcessing.Ignore });
        // Per open element: whether it made a node, whether it is skipped.
        var open = new Stack<(bool Counted, bool Skipped)>();
        int depth = 0;
        while (reader.Read())
        {
            if (reader.NodeType == XmlNodeType.EndElement && reader.Name is "proto" or "field")
            {
                if (open.Pop().Counted)
                    --depth;
                continue;
            }
            if (reader.NodeType != XmlNodeType.Element)
                continue;
            if (reader.Name == "packet")
            {
                packets.Add(new List<PdmlNode>());
                open.Clear();
                depth = 0;
                continue;
            }
            if (reader.Name is not ("proto" or "field"))
                continue;
            bool empty = reader.IsEmptyElement;
            string name = reader.GetAttribute("name") ?? "";
            bool skipped = open.Count > 0 && open.Peek().Skipped ||
                           reader.Name == "proto" && name == "geninfo" || reader.GetAttribute("hide") != null;
            bool counted = false;
            if (!skipped && !(reader.Name == "proto" && name == "fake-field-wrapper"))
            {
                string? position = reader.GetAttribute("pos");
                packets[^1].Add(new PdmlNode(depth, name, position == null ? null : int.Parse(position),
                    int.Parse(reader.GetAttribute("size") ?? "0"),
                    reader.GetAttribute("showname") ?? (name.Length == 0 ? reader.GetAttribute("show") : null)));
                counted = true;
                ++depth;
            }
            if (empty)
            {
                if (counted)
                    --depth;
            }
            else
            {
                open.Push((counted, skipped));
            }
        }
        return packets;
    }

    [Theory]
    [InlineData("dns_udp.pcap", 2)]
    [InlineData("one_tcp_stream.pcap", 4)]
    [InlineData("icmpv6.pcap", 3)]
    [InlineData("ipv4_tcp_http_xml.pcap", 1)]
    [InlineData("VlanPackets.pcap", 2)]
    public void TreesEqualTsharkPdml(string name, int frame)
    {
        string path = TestPaths.Capture(name);
        // After the capture was read in sequence, a packet's tree is that of
        // tshark's second pass.
        List<List<PdmlNode>> pdml = ParsePdml(Programs.Tshark("-T", "pdml", "-2", "-r", path).Output);
        using Capture capture = engine.Open(path);
        List<Summary> packets = capture.ReadAll();
        Tree tree = capture.BuildTree(packets[frame - 1]);
        List<PdmlNode> expected = pdml[frame - 1];
        Assert.True(tree.Count > 10);
        Assert.Equal(expected.Count, tree.Count);
        for (int n = 0; n < tree.Count; ++n)
        {
            Node node = tree[n];
            PdmlNode oracle = expected[n];
            string where = $"{name} frame {frame} node {n}: {node.Label}";
            Assert.True(oracle.Depth == node.Depth, where);
            // The engine's text-only items carry the field "text"; PDML names them "".
            Assert.Equal(oracle.Name.Length == 0 ? "text" : oracle.Name, node.FieldAbbrev);
            if (oracle.Position is int position)
            {
                // PDML shows an item that starts before its parent at its
                // parent's start plus its own start (items without bytes).
                int start = node.Parent != null && node.Start < node.Parent.Start ? node.Parent.Start + node.Start
                          : node.Start;
                Assert.True(position == start && oracle.Size == node.Length, where);
            }
            // Generated items are bracketed in the tree, not in PDML; the
            // tree keeps at most 239 bytes of a label.
            string label = node.Label.Length > 1 && node.Label[0] == '[' && node.Label[^1] == ']'
                ? node.Label[1..^1] : node.Label;
            if (oracle.ShowName == null)
                continue;
            if (Encoding.UTF8.GetByteCount(oracle.ShowName) < 238)
                Assert.True(label == oracle.ShowName || node.Label == oracle.ShowName, $"{where} / {oracle.ShowName}");
            else
                Assert.StartsWith(node.Label.TrimStart('[')[..100], oracle.ShowName);
        }
        Assert.Equal(tree.Count, tree.Roots.Sum(root => root.Walk().Count()));
        // The packet's bytes are those of its libpcap record (after its 16-byte header).
        Summary packet = packets[frame - 1];
        byte[] record = File.ReadAllBytes(path).AsSpan((int)packet.FileOffset + 16, (int)packet.CapturedLength).ToArray();
        Assert.Equal(record, tree.Data.ToArray());
    }

    // ---- statistics -----------------------------------------------------------

    // Captures with an io,stat interval that gives each a few dozen rows at most.
    [Theory]
    [InlineData("three_http_streams.pcap", 0.01)]
    [InlineData("DnsPackets.pcap", 100)]
    [InlineData("example2.pcap", 10000000)]
    public void StatisticsTablesEqualTshark(string name, double interval)
    {
        string path = Path.Combine(TestPaths.Captures, name);
        using Capture capture = engine.Open(path);
        Assert.NotNull(capture.ReadNext());
        List<Conversation> tcp = capture.Conversations("tcp");
        List<Endpoint> hosts = capture.Endpoints("ip");
        List<HierarchyRow> hierarchy = capture.ProtocolHierarchy();
        // tshark 4.0 finds an io,stat function's field only when a series'
        // filter names it, so the series name their fields.
        string[] series = { "", "udp", "SUM(tcp.len)tcp.len", "MAX(ip.ttl)ip.ttl" };
        List<IntervalRow> io = capture.Io(interval, series);
        string ioRequest = "io,stat," + interval.ToString(CultureInfo.InvariantCulture) + "," + string.Join(",", series);
        foreach (string request in new[] { "conv,tcp", "endpoints,ip", "io,phs", ioRequest })
            Assert.Contains(capture.StatisticsText(request), Programs.Tshark("-n", "-q", "-r", path, "-z", request).Output);
        // The capture starts over afterwards.
        Assert.Equal(1u, capture.ReadNext()!.FrameNumber);

        string[] Words(string line) => line.Replace('|', ' ').Split(' ', StringSplitOptions.RemoveEmptyEntries);
        List<string[]> conversations = Programs.Tshark("-n", "-q", "-r", path, "-z", "conv,tcp").Lines
            .Where(line => line.Contains("<->")).Select(Words).ToList();
        Assert.Equal(conversations.Count, tcp.Count);
        foreach ((string[] words, Conversation row) in conversations.Zip(tcp))
        {
            Assert.Equal($"{row.AddressA}:{row.PortA}", words[0]);
            Assert.Equal($"{row.AddressB}:{row.PortB}", words[2]);
            Assert.Equal(new[] { row.FramesBToA, row.FramesAToB, row.Frames },
                         new[] { words[3], words[6], words[9] }.Select(ulong.Parse));
            Assert.Equal(double.Parse(words[12], CultureInfo.InvariantCulture), row.Start.TotalSeconds, 6);
            Assert.True(Math.Abs(double.Parse(words[13], CultureInfo.InvariantCulture) - row.Duration.TotalSeconds) <= 0.00006);
        }

        List<string> endpointRows = Programs.Tshark("-n", "-q", "-r", path, "-z", "endpoints,ip").Lines
            .Select(Words).Where(words => words.Length == 7 && words.Skip(1).All(word => word.All(char.IsDigit)))
            .Select(words => string.Join(" ", words)).ToList();
        Assert.Equal(endpointRows, hosts.Select(row =>
            $"{row.Address} {row.Frames} {row.Bytes} {row.TxFrames} {row.TxBytes} {row.RxFrames} {row.RxBytes}"));

        List<string> phs = Programs.Tshark("-n", "-q", "-r", path, "-z", "io,phs").Lines
            .Where(line => line.Contains(" frames:"))
            .Select(line => $"{(line.Length - line.TrimStart(' ').Length) / 2} {string.Join(" ", Words(line))}").ToList();
        Assert.Equal(phs, hierarchy.Select(row => $"{row.Depth} {row.Protocol} frames:{row.Frames} bytes:{row.Bytes}"));
        Assert.All(hierarchy, row => Assert.EndsWith(row.Protocol, row.Path));

        List<string[]> intervals = Programs.Tshark("-n", "-q", "-r", path, "-z", ioRequest).Lines
            .Where(line => line.Contains("<>")).Select(Words).ToList();
        Assert.Equal(4 * intervals.Count, io.Count);
        for (int i = 0; i < intervals.Count; ++i)
        {
            IntervalRow[] row = io.Where(r => r.Interval == i).OrderBy(r => r.Series).ToArray();
            string[] numbers = intervals[i][3..];
            Assert.Equal(numbers[..4].Select(ulong.Parse), new[] { row[0].Frames, row[0].Bytes, row[1].Frames, row[1].Bytes });
            Assert.Null(row[0].Value);
            Assert.Equal(numbers[4..].Select(n => (double?)double.Parse(n, CultureInfo.InvariantCulture)),
                         new[] { row[2].Value, row[3].Value });
        }
        Assert.Throws<NotSupportedException>(() => capture.Conversations("frame"));
        Assert.Throws<ArgumentException>(() => capture.Io(1, "tcp.port ==="));
    }

    // ---- following ------------------------------------------------------------

    // tshark -z follow,KIND,raw,STREAM: the two nodes and each chunk as
    // (sent by node 1, bytes).
    static (List<string> Nodes, List<(bool FromSecond, byte[] Data)> Chunks) TsharkFollow(string path, string kind)
    {
        Programs.Result result = Programs.Tshark("-n", "-r", path, "-q", "-z", $"follow,{kind},raw,0");
        Assert.Equal(0, result.ExitCode);
        var nodes = new List<string>();
        var chunks = new List<(bool, byte[])>();
        bool inChunks = false;
        foreach (string line in result.Lines)
        {
            if (line.StartsWith("Node 0: ") || line.StartsWith("Node 1: "))
            {
                nodes.Add(line[8..]);
                inChunks = line.StartsWith("Node 1: ");
            }
            else if (line.StartsWith("====="))
            {
                inChunks = false;
            }
            else if (inChunks && line.Length > 0)
            {
                chunks.Add((line.StartsWith('\t'), Convert.FromHexString(line.Trim())));
            }
        }
        return (nodes, chunks);
    }

    [Theory]
    [InlineData("tcp", "one_tcp_stream.pcap")]
    [InlineData("udp", "dns_udp.pcap")]
    public void FollowingEqualsTsharkFollow(string kind, string name)
    {
        string path = TestPaths.Capture(name);
        (List<string> nodes, List<(bool FromSecond, byte[] Data)> chunks) = TsharkFollow(path, kind);
        Assert.NotEmpty(chunks);
        using Capture capture = engine.Open(path);
        Summary first = capture.ReadNext()!;
        FollowedStream stream = kind == "tcp" ? capture.FollowTcp(first) : capture.FollowUdp(first);
        Assert.True(stream.IsValid);
        // The library's client sent the SYN (tshark's node 0), else the first payload.
        bool clientIsSecond = chunks[0].FromSecond;
        var expected = chunks.Select(chunk =>
            (chunk.FromSecond == clientIsSecond ? Direction.Client : Direction.Server, chunk.Data)).ToList();
        var payload = stream.ReadPayload().ToList();
        Assert.Equal(expected.Count, payload.Count);
        for (int i = 0; i < expected.Count; ++i)
        {
            Assert.Equal(expected[i].Item1, payload[i].Sender);
            Assert.Equal(expected[i].Data, payload[i].Data);
        }
        long client = expected.Where(c => c.Item1 == Direction.Client).Sum(c => (long)c.Data.Length);
        long server = expected.Where(c => c.Item1 == Direction.Server).Sum(c => (long)c.Data.Length);
        string clientNode = clientIsSecond ? nodes[1] : nodes[0], serverNode = clientIsSecond ? nodes[0] : nodes[1];
        Assert.Equal($"{clientNode} --> {serverNode} ({client} bytes)", stream.ClientDescription);
        Assert.Equal($"{serverNode} --> {clientNode} ({server} bytes)", stream.ServerDescription);
        Assert.Equal($"Entire conversation ({client + server} bytes)", stream.ConversationDescription);
        // The ASCII chunks: one per segment or datagram, with the same senders.
        Assert.Equal(expected.Select(c => c.Item1), stream.Select(chunk => chunk.Sender));
        Assert.Equal(expected.Where(c => c.Item1 == Direction.Server).Select(c => c.Data),
                     stream.ReadPayload(Direction.Server).Select(chunk => chunk.Data));
    }

    // ---- saving ---------------------------------------------------------------

    sealed record PcapRecord(uint Seconds, uint Fraction, uint Captured, uint Length, byte[] Data);

    // A libpcap file's header fields and its records. The snapshot length is
    // left out: from a pcapng file the library keeps the capture's own,
    // editcap writes its default.
    static (string Header, List<PcapRecord> Records) ReadPcap(string path)
    {
        byte[] file = File.ReadAllBytes(path);
        uint magic = BinaryPrimitives.ReadUInt32LittleEndian(file);
        bool little = magic is 0xa1b2c3d4 or 0xa1b23c4d;
        Assert.True(little || BinaryPrimitives.ReadUInt32BigEndian(file) is 0xa1b2c3d4 or 0xa1b23c4d, path);
        uint U32(int at) => little ? BinaryPrimitives.ReadUInt32LittleEndian(file.AsSpan(at))
                                   : BinaryPrimitives.ReadUInt32BigEndian(file.AsSpan(at));
        string header = $"magic {U32(0):x8} version {U32(4) & 0xffff}.{U32(4) >> 16} link {U32(20)}";
        var records = new List<PcapRecord>();
        for (int at = 24; at < file.Length;)
        {
            uint captured = U32(at + 8);
            records.Add(new PcapRecord(U32(at), U32(at + 4), captured, U32(at + 12),
                                       file.AsSpan(at + 16, (int)captured).ToArray()));
            at += 16 + (int)captured;
        }
        return (header, records);
    }

    static void SameRecords(string expectedPath, string actualPath)
    {
        (string expectedHeader, List<PcapRecord> expected) = ReadPcap(expectedPath);
        (string actualHeader, List<PcapRecord> actual) = ReadPcap(actualPath);
        Assert.Equal(expectedHeader, actualHeader);
        Assert.Equal(expected.Count, actual.Count);
        for (int i = 0; i < expected.Count; ++i)
        {
            Assert.Equal((expected[i].Seconds, expected[i].Fraction, expected[i].Captured, expected[i].Length),
                         (actual[i].Seconds, actual[i].Fraction, actual[i].Captured, actual[i].Length));
            Assert.Equal(expected[i].Data, actual[i].Data);
        }
    }

    [Theory]
    [InlineData("one_tcp_stream.pcap")]
    [InlineData("of13_ericsson.pcapng")]
    [InlineData("dns_tcp.pcap")]
    public void SavingEqualsEditcapRecordByRecord(string name)
    {
        string path = TestPaths.Capture(name);
        using var folder = new TemporaryFolder();
        using Capture capture = engine.Open(path);
        List<Summary> packets = capture.ReadAll();
        List<Summary> chosen = packets.Where(packet => packet.FrameNumber % 3 != 2).ToList();
        SaveResult result = capture.Save(folder.File("saved.pcap"), chosen, SaveFormat.Pcap);
        Assert.Equal((chosen.Count, 0), (result.Written, result.Skipped));
        string frames = string.Join(",", chosen.Select(packet => packet.FrameNumber));
        Programs.Result editcap = Programs.Run("editcap",
            new[] { "-F", "pcap", "-r", path, folder.File("editcap.pcap") }.Concat(chosen.Select(p => p.FrameNumber.ToString())));
        Assert.True(editcap.ExitCode == 0, editcap.Errors);
        SameRecords(folder.File("editcap.pcap"), folder.File("saved.pcap"));

        // With the TCP sequence tracker, as the command-line host saves.
        result = capture.Save(folder.File("tracked.pcap"), packets, dropTcpRetransmissions: true);
        Programs.Result cli = Programs.Run(TestPaths.Cli, new[] { "save", path, folder.File("cli.pcap"),
            $"1-{packets.Count}", "--drop-tcp-retransmissions" });
        Assert.True(cli.ExitCode == 0, cli.Errors);
        Assert.StartsWith($"{result.Written} written, {result.Skipped} ", cli.Output);
        SameRecords(folder.File("cli.pcap"), folder.File("tracked.pcap"));
    }

    [Fact]
    public void SavingInAFormatKeepsCommentsAndLinkTypesWhateverWasReadOrFiltered()
    {
        // 159 packets of two link-layer types, 100 of them with comments.
        string path = TestPaths.Capture("pcapng-example.pcapng");
        string[] Fields(string file, string filter = "") => Programs.Tshark("-r", file, "-Y", filter, "-T", "fields",
            "-e", "frame.time_epoch", "-e", "frame.encap_type", "-e", "frame.len", "-e", "frame.comment").Lines;
        using var folder = new TemporaryFolder();
        using Capture capture = engine.Open(path, filter: "x11");
        capture.ReadNext();
        Assert.Equal(159, capture.Save(folder.File("all.pcapng")).Written);
        Assert.Equal(Fields(path), Fields(folder.File("all.pcapng")));
        string[] x11 = Fields(path, "x11");
        Assert.Equal(new SaveResult(folder.File("x11.out"), x11.Length, 0, 159 - x11.Length),
                     capture.Save(folder.File("x11.out"), filter: "x11"));
        Assert.Equal(x11, Fields(folder.File("x11.out")));
        // A selection, in the order given; an empty one writes an empty capture.
        List<Summary> some = capture.Take(3).Reverse().ToList();
        Assert.Equal(3, capture.Save(folder.File("some.pcapng"), some, SaveFormat.Pcapng).Written);
        Assert.Equal(x11.Take(3).Reverse(), Fields(folder.File("some.pcapng")));
        Assert.Equal(0, capture.Save(folder.File("none.pcapng"), Array.Empty<Summary>()).Written);
        Programs.Result none = Programs.Tshark("-r", folder.File("none.pcapng"));
        Assert.Equal((0, ""), (none.ExitCode, none.Output));
        // libpcap keeps one link-layer type.
        Assert.ThrowsAny<Exception>(() => capture.Save(folder.File("all.pcap")));
        Assert.False(File.Exists(folder.File("all.pcap")));
    }
}
