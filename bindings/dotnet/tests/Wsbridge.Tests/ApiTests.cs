// SPDX-License-Identifier: GPL-2.0-or-later
using Wsbridge;
using Xunit;

namespace Wsbridge.Tests;

/// <summary>
/// The friendly layer on the build's sample capture (23 packets: ARP, DNS
/// over UDP, an HTTP exchange over TCP, IPv6...): fields and values, filters,
/// what a C# program may do wrong, threads.
/// </summary>
[Collection("engine")]
public sealed class ApiTests
{
    readonly Engine engine;

    public ApiTests(EngineFixture fixture) => engine = fixture.Engine;

    static Summary ReadTo(Capture capture, uint frame) => capture.First(packet => packet.FrameNumber == frame);

    [Fact]
    public void ReadingGivesEverySummaryAndContinuesWhereItStopped()
    {
        using Capture capture = engine.Open(TestPaths.Sample);
        List<Summary> first = capture.Take(3).ToList();
        List<Summary> rest = capture.ReadAll();
        Assert.Equal(new uint[] { 1, 2, 3 }, first.Select(p => p.FrameNumber));
        Assert.Equal(Enumerable.Range(4, 20).Select(n => (uint)n), rest.Select(p => p.FrameNumber));
        Assert.True(capture.AtEnd);
        Assert.Null(capture.ReadNext());
        Summary dns = first[2];
        Assert.Equal(("DNS", "Standard query 0x1a2b A example.com"), (dns.ProtocolText, dns.InfoText));
        Assert.Equal(("192.168.1.10", "8.8.8.8", "00:11:22:33:44:55"), (dns.SourceText, dns.DestinationText, dns.LinkSourceText));
        Assert.Equal((PortType.Udp, (ushort)53000, (ushort)53), (dns.PortType, dns.SourcePort, dns.DestinationPort));
        Assert.Equal((AddressType.IPv4, 140L, 71u, 71u, 1), (dns.SourceAddressType, dns.FileOffset, dns.PacketLength, dns.CapturedLength, dns.Encapsulation));
        Assert.Equal((1700000000L, 3700000, 37000L), (dns.TimeSeconds, dns.TimeNanoseconds, dns.RelativeTimeTicks));
        Assert.Equal(new DateTimeOffset(2023, 11, 14, 22, 13, 20, TimeSpan.Zero).AddTicks(37000), dns.Time);
        Assert.Equal(TimeSpan.FromMilliseconds(3.7), dns.RelativeTime);
        Assert.Equal(AddressType.IPv6, rest[13].SourceAddressType);
        Assert.Equal(6, capture.TimePrecision);

        // Each enumeration is a pass of its own from the first packet; one
        // overtaken by another throws instead of handing out fewer packets.
        Assert.Equal((23, 23), (capture.Count(), capture.Count()));
        Assert.True(capture.Any());
        Assert.Equal(Enumerable.Range(1, 23).Select(n => (uint)n), capture.Select(p => p.FrameNumber));
        using (IEnumerator<Summary> one = capture.GetEnumerator(), two = capture.GetEnumerator())
        {
            Assert.True(one.MoveNext() && two.MoveNext());
            Assert.Equal((1u, 1u), (one.Current.FrameNumber, two.Current.FrameNumber));
            var overtaken = Assert.Throws<InvalidOperationException>(() => one.MoveNext());
            Assert.Contains("read on since this enumeration began", overtaken.Message);
            Assert.Equal(2u, two.MoveNext() ? two.Current.FrameNumber : 0);
            Assert.Equal(3u, capture.ReadNext()!.FrameNumber); // goes on after the packet handed out last
            Assert.Throws<InvalidOperationException>(() => two.MoveNext());
        }

        // Random access gives the packet again, with what only sequential
        // reading fills taken from its summary.
        Summary again = capture.ReadPacket(rest[8]);
        Assert.Equal((rest[8].FrameNumber, rest[8].SourceText, rest[8].DestinationPort, rest[8].InfoText, rest[8].Time),
                     (again.FrameNumber, again.SourceText, again.DestinationPort, again.InfoText, again.Time));
    }

    [Fact]
    public void TreesAreLinkedAndTheirValuesReadable()
    {
        using Capture capture = engine.Open(TestPaths.Sample);
        Tree tree = capture.BuildTree(ReadTo(capture, 9));
        Assert.StartsWith("Frame 9:", tree.Roots[0].Label);
        Assert.Equal(new[] { "frame", "eth", "ip", "tcp" }, tree.Roots.Select(root => root.FieldAbbrev).Take(4));
        for (int position = 0; position < tree.Count; ++position)
        {
            Node node = tree[position];
            Assert.Equal(position + 1, node.Index);
            if (node.Parent == null)
                Assert.True(node.ParentIndex == -1 && node.Depth == 0 && tree.Roots.Contains(node));
            else
                Assert.True(node.Parent.Index == node.ParentIndex && node.Parent.Children.Contains(node) &&
                            node.Depth == node.Parent.Depth + 1);
        }
        Node port = tree.Find("tcp.srcport")[0];
        Assert.Equal(("tcp", "Source Port", FieldType.UInt16, 34, 2),
                     (port.Parent!.FieldAbbrev, port.FieldName, port.FieldType, port.Start, port.Length));
        Assert.Equal(51000ul, port.GetUInt64());
        Assert.Equal("51000", port.ValueText);
        Assert.Equal("192.168.1.10", tree.Find("ip.src")[0].GetString());
        Assert.Equal(-2, tree.Find("tcp.window_size_scalefactor")[0].GetInt32());
        Assert.Equal(tree.Find("tcp")[0].Label, tree.Find("tcp")[0].ValueText);
        var wrongType = Assert.Throws<NotSupportedException>(() => tree.Find("ip.src")[0].GetInt32());
        Assert.Contains("int32", wrongType.Message, StringComparison.OrdinalIgnoreCase);
        Assert.Equal(Status.Failed, Assert.IsType<WsbridgeException>(wrongType.InnerException).Status);
        Assert.Contains("Frame 9:", tree.Format().Split('\n')[0]);
        Assert.StartsWith("  ", tree.Format().Split('\n')[1]);
    }

    [Fact]
    public void RegisteredFieldsAndTheirValues()
    {
        engine.RegisterField("dns.qry.name", "CS_DNS");
        engine.RegisterField("ip.ttl", "CS_DNS");
        engine.RegisterField("udp.length", "CS_DNS");
        RegisteredField name = engine.GetField("dns.qry.name"), ttl = engine.GetField("ip.ttl");
        Assert.Equal((FieldType.String, FieldType.UInt8), (name.Type, ttl.Type));
        Assert.Equal(FieldType.UInt8, engine.GetField("ip.version").Type);
        using Capture capture = engine.Open(TestPaths.Sample);
        Summary dns = ReadTo(capture, 3);
        Assert.Equal(new[] { name.Id, ttl.Id, engine.GetField("udp.length").Id }, dns.GetMatchedFields("CS_DNS"));
        Assert.Equal("example.com", dns.GetString(name.Id));
        Assert.Equal("example.com", dns.GetValueText(name.Id));
        Assert.Equal(64ul, dns.GetUInt64(ttl.Id));
        Assert.Equal(new FieldLocation(12, 13, FieldType.String), dns.GetFieldLocation(name.Id));
        Assert.Equal(new FieldLocation(54, 13, FieldType.String), dns.GetFieldStart(name.Id));
        Assert.Equal((42, 34), (dns.GetTransportPayloadOffset(), dns.GetIPv4PayloadOffset()));
        Assert.Throws<NotSupportedException>(() => dns.GetInt32(ttl.Id)); // an unsigned field
        Assert.Equal(new[] { engine.GetField("udp.srcport").Id }, dns.GetMatchedFields("UDP"));
        Assert.Throws<InvalidOperationException>(() => dns.GetUInt64(ttl.Id)); // not of the group asked for
        Assert.Empty(dns.GetMatchedFields("TCP"));
        dns.GetMatchedFields("CS_DNS");
        // Typed values come with the summary.
        Assert.Equal(new FieldValue(ValueKind.UInt, 64ul), dns.GetValue(ttl));
        Assert.Equal(new FieldValue(ValueKind.Text, "example.com"), dns.GetValue(name));
        Assert.Equal("example.com", capture.ReadNext()!.GetValue(name).Value);
        Assert.Equal(new FieldValue(ValueKind.Absent, null), capture.ReadNext()!.GetValue(name));

        // The getters answer for their packet, whatever was dissected since.
        List<Summary> rest = capture.ReadAll();
        capture.ReadPacket(rest[11]); // frame 17, DNS over IPv6
        Assert.Equal("64", dns.GetValueText(ttl.Id));
        Assert.Equal(new[] { name.Id, ttl.Id, engine.GetField("udp.length").Id }, dns.GetMatchedFields("CS_DNS"));
        capture.BuildTree(rest[13]);
        Assert.Equal(64ul, dns.GetUInt64(ttl.Id));
    }

    [Fact]
    public void AFieldNeverLookedUpIsRecordedAllTheSame()
    {
        engine.RegisterField("dns.flags.response", "CS_NEVER_LOOKED_UP");
        using Capture capture = engine.Open(TestPaths.Sample);
        Summary query = ReadTo(capture, 3), response = capture.ReadNext()!;
        RegisteredField flag = engine.GetField("dns.flags.response");
        Assert.Equal(new[] { flag.Id }, query.GetMatchedFields("CS_NEVER_LOOKED_UP"));
        Assert.Equal((false, true), ((bool)query.GetValue(flag).Value!, (bool)response.GetValue(flag).Value!));
        // Registered while the capture is open: the packets dissected from then on record it.
        engine.RegisterField("icmp.type", "CS_LATE");
        Summary ping = capture.ReadNext()!;
        Assert.Equal(new FieldValue(ValueKind.UInt, 8ul), ping.GetValue(engine.GetField("icmp.type")));
        Assert.Single(ping.GetMatchedFields("CS_LATE"));
    }

    [Fact]
    public void TextsWithANulCharacterAreRefused()
    {
        string path = TestPaths.Sample;
        foreach (Action call in new Action[]
        {
            () => engine.Open(path + "\0junk"),
            () => engine.SetPreference("tcp.desegment_tcp_streams:TRUE\0junk"),
            () => engine.RegisterField("ip.ttl\0junk", "CS_NUL"),
            () => engine.RegisterField("ip.ttl", "CS_NUL\0junk"),
            () => engine.GetField("ip.ttl\0"),
        })
        {
            var refused = Assert.Throws<ArgumentException>(call);
            Assert.Contains("contains a NUL character", refused.Message);
        }
        using Capture capture = engine.Open(path);
        Assert.Throws<ArgumentException>(() => capture.Filter = "dns\0 && tcp");
        Assert.Null(capture.Filter);
        using var folder = new TemporaryFolder();
        Assert.Throws<ArgumentException>(() => capture.Save(folder.File("saved.pcap\0junk")));
        Assert.Throws<ArgumentException>(() => capture.Save(folder.File("saved.pcap"), filter: "dns\0 && tcp"));
        Summary first = capture.ReadNext()!;
        Assert.Throws<ArgumentException>(() => first.GetMatchedFields("IP\0junk"));
        Assert.Empty(Directory.GetFiles(folder.Path));
    }

    [Fact]
    public void DisplayFiltersKeepWhatTsharkKeeps()
    {
        string path = TestPaths.Capture("three_http_streams.pcap");
        Programs.Result tshark = Programs.Tshark("-r", path, "-Y", "http.request", "-T", "fields", "-e", "frame.number");
        using (Capture capture = engine.Open(path, filter: "http.request"))
        {
            Assert.Equal("http.request", capture.Filter);
            Assert.Equal(tshark.Lines, capture.Select(packet => packet.FrameNumber.ToString()));
        }
        using (Capture capture = engine.Open(path))
        {
            Assert.Null(capture.Filter); // a filter ends with its capture
            capture.Filter = "tcp.flags.syn == 1";
            var refused = Assert.Throws<ArgumentException>(() => capture.Filter = "tcp.port ==");
            Assert.Equal("Unexpected end of filter expression.", refused.Message);
            var inner = Assert.IsType<WsbridgeException>(refused.InnerException);
            Assert.Equal(Status.Failed, inner.Status);
            Assert.Equal("tcp.flags.syn == 1", capture.Filter); // the filter before stays
            Summary first = capture.ReadNext()!;
            capture.Filter = null;
            Assert.Equal(first.FrameNumber + 1, capture.ReadNext()!.FrameNumber);
            // An enumeration's packets read ahead keep the filter they were read with.
            using (IEnumerator<Summary> pass = capture.GetEnumerator())
            {
                pass.MoveNext();
                Assert.Throws<InvalidOperationException>(() => capture.Filter = "tcp");
            }
            // Once it stopped, the filter applies from the first packet.
            capture.Filter = "tcp.flags.syn == 1";
            Assert.Equal(first.FrameNumber, capture.ReadNext()!.FrameNumber);
        }
        Assert.Throws<ArgumentException>(() => engine.Open(path, filter: "no.such.field"));
        using Capture last = engine.Open(path);
        Assert.Null(last.Filter);
    }

    [Fact]
    public void UnknownNamesAreKeyNotFound()
    {
        var refused = Assert.Throws<KeyNotFoundException>(() => engine.RegisterField("tcp.srcprot", "CS_TYPO"));
        Assert.Equal("\"Register protocol field filter\" operation failed. \"tcp.srcprot\" is neither a field nor " +
                     "a protocol name the engine knows.", refused.Message);
        Assert.IsType<WsbridgeException>(refused.InnerException);
        Assert.Equal(FieldType.UInt8, engine.GetField("ip.version").Type); // nothing was filed
        Assert.Throws<KeyNotFoundException>(() => engine.GetField("tcp.srcprot"));
        using Capture capture = engine.Open(TestPaths.Sample);
        Summary first = capture.ReadNext()!;
        var group = Assert.Throws<KeyNotFoundException>(() => first.GetMatchedFields("NO_SUCH_GROUP"));
        Assert.Equal("Requested protocol \"NO_SUCH_GROUP\" was not registered.\n", group.Message);
    }

    [Fact]
    public void LibraryFailuresCarryTheirStatusAndCode()
    {
        var absent = Assert.Throws<FileNotFoundException>(() => engine.Open("/nonexistent/capture.pcap"));
        Assert.Equal(("The file \"/nonexistent/capture.pcap\" doesn't exist.", "/nonexistent/capture.pcap"),
                     (absent.Message, absent.FileName));
        var missing = Assert.IsType<WsbridgeException>(absent.InnerException);
        Assert.Equal((Status.Failed, ErrorCode.File, "open"), (missing.Status, missing.Code, missing.Operation));
        Assert.Throws<InvalidDataException>(() => engine.Open(TestPaths.Header));
        Assert.Throws<ArgumentException>(() => engine.Open(""));
        Assert.Throws<ArgumentNullException>(() => engine.RegisterField(null!, "G"));

        Assert.Throws<ArgumentException>(() => engine.SetPreference("tcp.no_such_preference:TRUE"));
        var malformed = Assert.Throws<ArgumentException>(() => engine.SetPreference("tcp.desegment_tcp_streams"));
        Assert.IsType<WsbridgeException>(malformed.InnerException);
        using Capture capture = engine.Open(TestPaths.Sample);
        var open = Assert.Throws<InvalidOperationException>(() => engine.SetPreference("tcp.desegment_tcp_streams:FALSE"));
        Assert.Contains("no capture is open", open.Message);

        Summary arp = capture.ReadNext()!;
        var notTcp = Assert.ThrowsAny<Exception>(() => capture.FollowTcp(arp));
        Assert.Equal(Status.Failed, Assert.IsType<WsbridgeException>(notTcp.InnerException ?? notTcp).Status);
        Summary dns = ReadTo(capture, 3);
        FollowedStream udp = capture.FollowUdp(dns);
        Assert.Throws<ArgumentOutOfRangeException>(() => udp.ReadChunks((RenderFormat)7).ToList());

        // The exceptions have the standard constructors.
        Assert.Equal("x", new WsbridgeException("x", new IOException()).Message);
        Assert.Equal((Status.Failed, ErrorCode.Engine), (new WsbridgeException().Status, new WsbridgeException("x").Code));
    }

    [Fact]
    public void FollowedStreamsRenderEveryFormatAndStartEachPassAtTheFirstChunk()
    {
        using Capture capture = engine.Open(TestPaths.Sample);
        List<Summary> packets = capture.ReadAll();
        FollowedStream stream = capture.FollowTcp(packets[6]);
        Assert.Equal("192.168.1.10:51000 --> 93.184.216.34:80 (79 bytes)", stream.ClientDescription);
        Assert.Equal("93.184.216.34:80 --> 192.168.1.10:51000 (190 bytes)", stream.ServerDescription);
        List<StreamChunk> chunks = stream.ToList();
        Assert.Equal(new[] { Direction.Client, Direction.Server }, chunks.Select(chunk => chunk.Sender));
        Programs.Result cli = Programs.Run(TestPaths.Cli, new[] { "follow", "tcp", TestPaths.Sample, "7" });
        Assert.Equal(string.Join("\n", new[] { stream.ClientDescription, stream.ServerDescription,
                         stream.ConversationDescription }.Concat(chunks.Select(chunk => chunk.Text))) + "\n",
                     cli.Output);
        // A pass left half way does not disturb the next one, and every
        // enumerator keeps its own place.
        using (IEnumerator<StreamChunk> partial = stream.GetEnumerator())
            partial.MoveNext();
        Assert.Equal(chunks.Skip(1), stream.ReadChunks(direction: Direction.Server));
        Assert.All(stream.Zip(stream), pair => Assert.Equal(pair.First, pair.Second));
        int steps = 0;
        foreach (StreamChunk chunk in stream)
        {
            Assert.Equal(chunks[0], stream.First());
            Assert.True(++steps <= chunks.Count);
        }
        Assert.Equal(chunks.Count, steps);
        Assert.StartsWith("00000000  47 45 54 20", stream.ReadChunks(RenderFormat.HexDump).First().Text);
        Assert.Equal("GET / HTTP/1.1\r\n"u8.ToArray(), stream.ReadPayload().First().Data.Take(16).ToArray());
        Assert.Equal(new[] { 79, 190 }, stream.ReadPayload().Select(chunk => chunk.Data.Length));

        FollowedStream empty = capture.FollowTcp(packets[20]); // a handshake without payload
        Assert.False(empty.IsValid);
        Assert.Equal("Empty TCP stream.", empty.Message);
        Assert.Empty(empty);
        // The stream followed before is gone.
        var stale = Assert.Throws<InvalidOperationException>(() => stream.ToList());
        Assert.Contains("no longer the followed stream", stale.Message);
    }

    [Fact]
    public void FollowingCoversTheWholeCaptureAndLeavesReadingAlone()
    {
        // Under a display filter that matches one side only.
        using (Capture capture = engine.Open(TestPaths.Sample, filter: "tcp.srcport == 51000"))
        {
            Summary first = capture.ReadNext()!;
            FollowedStream stream = capture.FollowTcp(first);
            Assert.Equal("93.184.216.34:80 --> 192.168.1.10:51000 (190 bytes)", stream.ServerDescription);
            Assert.Equal(new[] { 79, 190 }, stream.ReadPayload().Select(chunk => chunk.Data.Length));
            Assert.Equal(first.FrameNumber + 2, capture.ReadNext()!.FrameNumber); // reading goes on, filtered
        }
        // Inside an enumeration of the capture.
        using (Capture capture = engine.Open(TestPaths.Sample))
        {
            var frames = new List<uint>();
            foreach (Summary packet in capture)
            {
                frames.Add(packet.FrameNumber);
                if (packet.FrameNumber == 7)
                    Assert.True(capture.FollowTcp(packet).IsValid);
            }
            Assert.Equal(Enumerable.Range(1, 23).Select(n => (uint)n), frames);
        }
    }

    [Fact]
    public void SummariesOfAnotherCaptureAreRefusedByEveryCall()
    {
        List<Summary> old;
        using (Capture first = engine.Open(TestPaths.Sample))
            old = first.ReadAll();
        using var folder = new TemporaryFolder();
        using Capture capture = engine.Open(TestPaths.Sample);
        List<Summary> mine = capture.ReadAll();
        var calls = new Action<Summary>[]
        {
            packet => capture.ReadPacket(packet),
            packet => capture.BuildTree(packet),
            packet => capture.FollowUdp(packet),
            packet => capture.FollowTcp(packet),
            packet => capture.Save(folder.File("foreign.pcap"), new[] { mine[0], packet }),
        };
        foreach (Action<Summary> call in calls)
        {
            var error = Assert.Throws<ArgumentException>(() => call(old[2]));
            Assert.Contains("not from this capture", error.Message);
        }
        Assert.False(File.Exists(folder.File("foreign.pcap")));
        Assert.Equal(mine[2].FrameNumber, capture.ReadPacket(mine[2]).FrameNumber);
        Assert.Throws<ArgumentNullException>(() => capture.BuildTree(null!));
    }

    [Fact]
    public void StaleNodesAndClosedCapturesThrow()
    {
        Capture capture = engine.Open(TestPaths.Sample);
        List<Summary> packets = capture.ReadAll();
        Tree tree = capture.BuildTree(packets[8]);
        Node port = tree.Find("tcp.srcport")[0];
        Assert.Equal(51000ul, port.GetUInt64());
        capture.ReadPacket(packets[8]); // the same packet, dissected again
        var stale = Assert.Throws<InvalidOperationException>(() => port.GetUInt64());
        Assert.Contains("no longer the packet dissected last", stale.Message);
        Assert.Equal("Source Port", port.FieldName); // the texts stay
        FollowedStream stream = capture.FollowTcp(packets[6]);
        capture.Dispose();
        capture.Dispose(); // closing a closed capture does nothing
        Assert.True(capture.IsClosed);
        var calls = new Action[]
        {
            () => capture.ReadNext(), () => capture.ReadPacket(packets[0]), () => port.GetString(),
            () => stream.ToList(), () => packets[0].GetMatchedFields("IP"), () => _ = capture.Filter = "tcp",
            () => capture.Save("/tmp/never.pcap", packets),
        };
        foreach (Action call in calls)
        {
            var error = Assert.Throws<ObjectDisposedException>(call);
            Assert.Contains("is closed", error.Message);
        }
        // Opening another capture closes the one before.
        Capture first = engine.Open(TestPaths.Sample);
        using Capture second = engine.Open(TestPaths.Sample);
        Assert.True(first.IsClosed);
        Assert.Throws<ObjectDisposedException>(() => first.ReadNext());
        Assert.NotNull(second.ReadNext());
    }

    [Fact]
    public void ThreadsShareTheEngineOneCallAtATime()
    {
        var engines = new System.Collections.Concurrent.ConcurrentBag<Engine>();
        var frames = new System.Collections.Concurrent.ConcurrentBag<uint>();
        var trees = new System.Collections.Concurrent.ConcurrentBag<int>();
        using Capture capture = engine.Open(TestPaths.Sample);
        Summary first = capture.ReadNext()!;
        frames.Add(first.FrameNumber);
        var threads = new List<Thread>();
        for (int i = 0; i < 4; ++i)
            threads.Add(new Thread(() => engines.Add(Engine.Start())));
        for (int i = 0; i < 3; ++i)
            threads.Add(new Thread(() =>
            {
                while (capture.ReadNext() is { } packet)
                    frames.Add(packet.FrameNumber);
            }));
        for (int i = 0; i < 2; ++i)
            threads.Add(new Thread(() =>
            {
                for (int n = 0; n < 10; ++n)
                    trees.Add(capture.BuildTree(first).Count);
            }));
        threads.ForEach(thread => thread.Start());
        threads.ForEach(thread => thread.Join());
        Assert.All(engines, started => Assert.Same(engine, started));
        Assert.Equal(Enumerable.Range(1, 23).Select(n => (uint)n), frames.Order());
        Assert.Single(trees.Distinct());
    }

    [Fact]
    public void APacketsValuesComeWithThePacketWhateverOtherThreadsDissect()
    {
        engine.RegisterField("ip.ttl", "CS_THREADS");
        RegisteredField ttl = engine.GetField("ip.ttl");
        using Capture capture = engine.Open(TestPaths.Sample);
        List<Summary> packets = capture.ReadAll();
        var answers = new System.Collections.Concurrent.ConcurrentBag<string>();
        var reader = new Thread(() =>
        {
            for (int n = 0; n < 200; ++n)
                answers.Add(packets[2].GetMatchedFields("CS_THREADS").Length + " " + packets[2].GetValueText(ttl.Id));
        });
        var other = new Thread(() =>
        {
            for (int n = 0; n < 200; ++n)
                capture.ReadPacket(packets[n % 2 == 0 ? 13 : 0]);
        });
        reader.Start();
        other.Start();
        reader.Join();
        other.Join();
        Assert.Equal(new[] { "1 64" }, answers.Distinct());
    }

    // ---- live capture on the loopback interface ---------------------------

    [CaptureFact]
    public void CancellingEndsALiveEnumerationAndLeavesNoDumpcap()
    {
        string folder = Directory.CreateTempSubdirectory("wsbridge-cs-live").FullName;
        try
        {
            int port = LiveTraffic.FreeUdpPort();
            using var cancel = new CancellationTokenSource();
            var options = new LiveOptions { CaptureFilter = $"udp port {port}", SpoolFolder = folder };
            List<Summary> got;
            using (Capture capture = engine.OpenLive("lo", options, cancel.Token))
            {
                Assert.True(capture.IsLive);
                Assert.NotEmpty(LiveTraffic.DumpcapsUnder(folder));
                Assert.False(capture.Wait(TimeSpan.FromMilliseconds(50)));
                LiveTraffic.SendDatagrams(port, 3);
                Assert.True(capture.Wait(TimeSpan.FromSeconds(10)));
                LiveTraffic.WaitForWritten(capture, 3);
                cancel.CancelAfter(TimeSpan.FromMilliseconds(500));
                got = capture.ToList();
                Assert.Throws<InvalidOperationException>(() => capture.First());
                Assert.Equal(new LiveCounts(3, 0), capture.Counts);
            }
            Assert.Equal(new[] { "Len=1", "Len=2", "Len=3" }, got.Select(packet => packet.InfoText.Split(' ')[^1]));
            Assert.Empty(LiveTraffic.DumpcapsUnder(folder));
            Assert.Empty(Directory.GetFileSystemEntries(folder));
        }
        finally
        {
            Directory.Delete(folder, true);
        }
    }

    [CaptureFact]
    public void AnEnumerationWithCancellationDrainsAndEnds()
    {
        int port = LiveTraffic.FreeUdpPort();
        using var cancel = new CancellationTokenSource();
        using Capture capture = engine.OpenLive("lo", new LiveOptions { CaptureFilter = $"udp port {port}" });
        LiveTraffic.SendDatagrams(port, 4);
        LiveTraffic.WaitForWritten(capture, 4);
        var packets = new List<Summary>();
        foreach (Summary packet in capture.WithCancellation(cancel.Token))
        {
            packets.Add(packet);
            if (packets.Count == 2)
                cancel.Cancel();
        }
        // Whatever dumpcap wrote before it stopped is handed out.
        Assert.Equal(new uint[] { 1, 2, 3, 4 }, packets.Select(packet => packet.FrameNumber));
        Assert.Contains(capture.BuildTree(packets[2]), node => node.Label.StartsWith("Frame 3:"));
    }
}

/// <summary>A test that captures on lo: skipped, with the reason, without the rights to.</summary>
public sealed class CaptureFactAttribute : FactAttribute
{
    public CaptureFactAttribute()
    {
        if (!LiveTraffic.CanCapture)
            Skip = "needs capture rights on lo (root, with dumpcap installed), as in CI";
    }
}

/// <summary>Datagrams the live tests send to themselves on 127.0.0.1.</summary>
public static class LiveTraffic
{
    public static bool CanCapture =>
        Environment.UserName == "root" && (Environment.GetEnvironmentVariable("PATH") ?? "").Split(':')
            .Any(folder => File.Exists(Path.Combine(folder, "dumpcap")));

    public static int FreeUdpPort()
    {
        using var probe = new System.Net.Sockets.UdpClient(new System.Net.IPEndPoint(System.Net.IPAddress.Loopback, 0));
        return ((System.Net.IPEndPoint)probe.Client.LocalEndPoint!).Port;
    }

    /// <summary>count datagrams to 127.0.0.1:port, the k-th (from 1) k bytes long.</summary>
    public static void SendDatagrams(int port, int count)
    {
        using var sender = new System.Net.Sockets.UdpClient();
        for (int size = 1; size <= count; ++size)
            sender.Send(new byte[size], size, new System.Net.IPEndPoint(System.Net.IPAddress.Loopback, port));
    }

    /// <summary>Waits (at most 10 s) until dumpcap has written count packets (a wait takes in its reports).</summary>
    public static void WaitForWritten(Capture capture, ulong count)
    {
        for (int waited = 0; capture.Counts.Written < count && waited < 10000; waited += 20)
        {
            capture.Wait(TimeSpan.Zero);
            Thread.Sleep(20);
        }
        Assert.Equal(count, capture.Counts.Written);
    }

    /// <summary>The dumpcap processes whose spool lies under folder.</summary>
    public static List<string> DumpcapsUnder(string folder) =>
        Directory.GetDirectories("/proc").Where(path => int.TryParse(Path.GetFileName(path), out _))
            .Select(path =>
            {
                try
                {
                    return File.ReadAllText(Path.Combine(path, "cmdline")).Replace('\0', ' ');
                }
                catch (IOException)
                {
                    return "";
                }
            })
            .Where(command => command.Contains("dumpcap") && command.Contains(folder)).ToList();
}
