// SPDX-License-Identifier: GPL-2.0-or-later
// The C# host's answers to the scenarios of the hosts' parity table
// (tests/parity/scenarios.py), run as `Wsbridge.Scenarios parity NAME ARGS`.
// Each answer is one "key: value" line in the form the table's driver
// compares across the hosts: counts, digests of texts and bytes, and
// "error:TYPE" with the exception's type for a refused call.
using System.Security.Cryptography;
using System.Text;
using Wsbridge;

static class Parity
{
    static void Line(string key, object? value) => Console.WriteLine($"{key}: {value}");

    static string Attempt(Func<object?> action)
    {
        try
        {
            return action()?.ToString() ?? "ok";
        }
        catch (Exception error)
        {
            return "error:" + error.GetType().Name;
        }
    }

    static string Attempt(Action action) => Attempt(() =>
    {
        action();
        return null;
    });

    /// <summary>The first 16 hex digits of the SHA-256 of the lines joined by newlines.</summary>
    static string Digest(IEnumerable<object> lines) =>
        Convert.ToHexString(SHA256.HashData(Encoding.UTF8.GetBytes(string.Join("\n", lines))))[..16].ToLowerInvariant();

    /// <summary>A followed stream: its bytes by side and the digest of its chunks ("c:HEX", "s:HEX").</summary>
    static void Followed(string key, FollowedStream stream)
    {
        var chunks = stream.ReadPayload().ToList();
        long Bytes(Direction side) => chunks.Where(chunk => chunk.Sender == side).Sum(chunk => (long)chunk.Data.Length);
        var lines = chunks.Select(chunk =>
            (chunk.Sender == Direction.Client ? "c:" : "s:") + Convert.ToHexString(chunk.Data).ToLowerInvariant());
        Line(key, $"client {Bytes(Direction.Client)} server {Bytes(Direction.Server)} chunks {chunks.Count} {Digest(lines)}");
    }

    static FollowedStream Follow(Capture capture, string kind, Summary packet) =>
        kind == "udp" ? capture.FollowUdp(packet) : capture.FollowTcp(packet);

    static string TreeAnswer(Tree tree) =>
        $"{tree.Count} {Digest(tree.Select(node => $"{node.Depth}|{node.Label}|{node.Start}|{node.Length}"))}";

    static readonly (string Name, SaveFormat Format)[] SaveFormats =
    {
        ("pcap", SaveFormat.Pcap), ("nsecpcap", SaveFormat.PcapNanoseconds), ("pcapng", SaveFormat.Pcapng),
        ("capture", SaveFormat.AsCapture),
    };

    public static int Run(string[] args)
    {
        string scenario = args.Length > 0 ? args[0] : "";
        string Arg(int index) => args[index + 1];
        uint Frame(int index) => uint.Parse(Arg(index));
        Engine engine = Engine.Start();
        switch (scenario)
        {
            case "follow-filtered":
            {
                // ARGS: capture, kind, display filter, frame (one the filter keeps).
                using Capture capture = engine.Open(Arg(0), Arg(2));
                List<Summary> shown = capture.ToList();
                Line("shown", shown.Count);
                Followed("follow", Follow(capture, Arg(1), shown.Single(packet => packet.FrameNumber == Frame(3))));
                break;
            }
            case "nul-texts":
            {
                // ARGS: capture. Each text with a NUL inside, then the capture read unfiltered.
                Line("preference", Attempt(() => engine.SetPreference("tcp.desegment_tcp_streams:TRUE\0junk")));
                Line("field", Attempt(() => engine.RegisterField("ip.src\0junk", "parity")));
                Line("group", Attempt(() => engine.RegisterField("ip.src", "parity\0junk")));
                Line("field-lookup", Attempt(() => engine.GetField("ip.src\0junk")));
                Line("path", Attempt(() => engine.Open(Arg(0) + "\0junk")));
                Line("open-filter", Attempt(() => engine.Open(Arg(0), "dns\0 && tcp")));
                using Capture capture = engine.Open(Arg(0));
                Line("filter", Attempt(() => capture.Filter = "dns\0 && tcp"));
                Line("after", capture.Count());
                break;
            }
            case "passes":
            {
                // ARGS: capture, a TCP frame.
                using Capture capture = engine.Open(Arg(0));
                Line("first", capture.Count());
                Line("second", capture.Count());
                Line("any-then-count", $"{capture.Any()} {capture.Count()}");
                using (IEnumerator<Summary> outer = capture.GetEnumerator())
                {
                    outer.MoveNext();
                    Line("inner", capture.Count());
                    Line("overtaken", Attempt(() => outer.MoveNext()));
                }
                FollowedStream stream = capture.FollowTcp(capture.First(packet => packet.FrameNumber == Frame(1)));
                var pairs = stream.ReadPayload().Zip(stream.ReadPayload()).ToList();
                Line("stream-pairs", $"{pairs.Count} {pairs.Count(pair => pair.First.Data.SequenceEqual(pair.Second.Data))}");
                int nested = 0;
                foreach (var chunk in stream.ReadPayload())
                    nested += stream.ReadPayload().Count();
                Line("stream-nested", nested);
                break;
            }
            case "inside-iteration":
            {
                // ARGS: capture, a TCP frame followed and whose tree is built while iterating.
                using Capture capture = engine.Open(Arg(0));
                var frames = new List<object>();
                foreach (Summary packet in capture)
                {
                    frames.Add(packet.FrameNumber);
                    if (packet.FrameNumber == Frame(1))
                    {
                        Followed("follow", capture.FollowTcp(packet));
                        Line("tree", TreeAnswer(capture.BuildTree(packet)));
                    }
                }
                Line("packets", $"{frames.Count} {Digest(frames)}");
                break;
            }
            case "save-formats":
            {
                // ARGS: capture, frames ("all" or "FIRST-LAST"), output folder, file name prefix.
                using Capture capture = engine.Open(Arg(0));
                List<Summary>? chosen = null;
                if (Arg(1) != "all")
                {
                    uint[] range = Array.ConvertAll(Arg(1).Split('-'), uint.Parse);
                    chosen = capture.Where(packet => packet.FrameNumber >= range[0] && packet.FrameNumber <= range[1]).ToList();
                }
                foreach ((string name, SaveFormat format) in SaveFormats)
                    Line(name, Attempt(() => $"written:{capture.Save(Path.Combine(Arg(2), $"{Arg(3)}-{name}.out"), chosen, format).Written}"));
                break;
            }
            case "never-looked-up":
            {
                // ARGS: capture, field, group. The field is registered and never looked up.
                engine.RegisterField(Arg(1), Arg(2));
                using Capture capture = engine.Open(Arg(0));
                Line("matched", capture.Count(packet => packet.GetMatchedFields(Arg(2)).Length > 0));
                break;
            }
            case "stale":
            {
                // ARGS: capture, a TCP frame, a later TCP frame of another conversation, a field.
                engine.RegisterField(Arg(3), "parity");
                int field = engine.GetField(Arg(3)).Id;
                using Capture capture = engine.Open(Arg(0));
                Summary first = capture.ReadNext()!;
                Node node = capture.BuildTree(first).Find("frame.len")[0];
                Line("node-fresh", Attempt(() => node.GetUInt64()));
                capture.ReadNext();
                Line("node-after-read", Attempt(() => node.GetUInt64()));
                List<Summary> all = capture.ToList();
                Summary one = all.Single(packet => packet.FrameNumber == Frame(1));
                Summary two = all.Single(packet => packet.FrameNumber == Frame(2));
                node = capture.BuildTree(one).Find("frame.len")[0];
                capture.BuildTree(two);
                Line("node-after-tree", Attempt(() => node.GetUInt64()));
                FollowedStream stream = capture.FollowTcp(one);
                capture.FollowTcp(two);
                Line("stream-after-follow", Attempt(() => stream.ReadPayload().Count()));
                stream = capture.FollowTcp(one);
                capture.ToList();
                Line("stream-after-pass", Attempt(() => stream.ReadPayload().Count()));
                Line("earlier-value", one.GetMatchedFields("parity").Contains(field) ? one.GetValueText(field) : "");
                break;
            }
            case "closed":
            {
                // ARGS: capture, a TCP frame, output folder.
                engine.RegisterField("frame.len", "parity");
                Capture capture = engine.Open(Arg(0));
                Summary packet = capture.First(summary => summary.FrameNumber == Frame(1));
                Node node = capture.BuildTree(packet)[0];
                FollowedStream stream = capture.FollowTcp(packet);
                capture.Dispose();
                Line("read", Attempt(() => capture.ReadNext()));
                Line("iterate", Attempt(() => capture.Count()));
                Line("filter", Attempt(() => capture.Filter = "tcp"));
                Line("tree", Attempt(() => capture.BuildTree(packet)));
                Line("follow", Attempt(() => capture.FollowTcp(packet)));
                Line("save", Attempt(() => capture.Save(Path.Combine(Arg(2), "closed.pcapng"))));
                Line("matched", Attempt(() => packet.GetMatchedFields("parity")));
                Line("node-value", Attempt(() => node.ValueText));
                Line("stream", Attempt(() => stream.ReadPayload().Count()));
                Line("close-again", Attempt(() => capture.Dispose()));
                break;
            }
            case "foreign":
            {
                // ARGS: capture A, capture B, a TCP frame of A, output folder.
                Capture first = engine.Open(Arg(0));
                Summary packet = first.First(summary => summary.FrameNumber == Frame(2));
                using (Capture other = engine.Open(Arg(1)))
                {
                    Line("tree", Attempt(() => other.BuildTree(packet)));
                    Line("packet", Attempt(() => other.ReadPacket(packet)));
                    Line("follow", Attempt(() => other.FollowTcp(packet)));
                    Line("save", Attempt(() => other.Save(Path.Combine(Arg(3), "foreign.pcapng"), new[] { packet })));
                }
                using Capture again = engine.Open(Arg(0));
                Line("same-file-tree", Attempt(() => again.BuildTree(packet)));
                break;
            }
            case "long-info":
            {
                // ARGS: capture.
                using Capture capture = engine.Open(Arg(0));
                List<string> infos = capture.Select(packet => packet.InfoText).ToList();
                Line("info", $"{infos.Count} long {infos.Count(info => Encoding.UTF8.GetByteCount(info) > 255)} {Digest(infos)}");
                break;
            }
            case "values-in-loop":
            {
                // ARGS: capture, field. Its value asked of each packet as the loop hands it out.
                engine.RegisterField(Arg(1), "parity");
                RegisteredField field = engine.GetField(Arg(1));
                using Capture capture = engine.Open(Arg(0));
                var asked = new List<object>();
                var carried = new List<object>();
                foreach (Summary packet in capture)
                {
                    bool matched = packet.GetMatchedFields("parity").Contains(field.Id);
                    asked.Add($"{packet.FrameNumber}\t{(matched ? packet.GetValueText(field.Id) : "")}");
                    carried.Add($"{packet.FrameNumber}\t{packet.GetValue(field)}");
                }
                Line("values", Digest(asked));
                Line("carried", Digest(carried));
                break;
            }
            case "live-udp":
            {
                // ARGS: interface, capture filter, count, output folder.
                using Capture capture = engine.OpenLive(Arg(0), new LiveOptions { CaptureFilter = Arg(1), Count = int.Parse(Arg(2)) });
                List<Summary> packets = capture.ToList();
                Line("packets", $"{packets.Count} {string.Join(" ", packets.Select(packet => packet.InfoText.Split(' ')[^1]))}");
                Line("summaries", Digest(packets.Select(packet =>
                    $"{packet.FrameNumber}|{packet.ProtocolText}|{packet.InfoText}|{packet.SourceText}|{packet.DestinationText}|" +
                    $"{packet.SourcePort}|{packet.DestinationPort}|{packet.PacketLength}")));
                Line("saved", $"written:{capture.Save(Path.Combine(Arg(3), "live.pcapng")).Written}");
                break;
            }
            case "live-errors":
            {
                // ARGS: interface, an interface that does not exist.
                Line("bad-filter", Attempt(() => engine.OpenLive(Arg(0), new LiveOptions { CaptureFilter = "udp port (((", Count = 1 }).Dispose()));
                Line("no-interface", Attempt(() => engine.OpenLive(Arg(1), new LiveOptions { Count = 1 }).Dispose()));
                break;
            }
            default:
                Console.Error.WriteLine($"unknown parity scenario \"{scenario}\"");
                return 2;
        }
        return 0;
    }
}
