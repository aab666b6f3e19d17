# SPDX-License-Identifier: GPL-2.0-or-later
"""The Python host's answers to the scenarios of the hosts' parity table
(scenarios.py), run as `python3 python_host.py NAME ARGS` in a process of its
own (the engine starts once per process). Each answer is one "key: value"
line in the form the table's driver compares across the hosts: counts,
digests of texts and bytes, and "error:TYPE" with the exception's type for a
refused call."""

import hashlib
import os
import sys

import wsbridge

SAVE_FORMATS = ("pcap", "nsecpcap", "pcapng", "capture")


def line(key, value):
    print("%s: %s" % (key, value), flush=True)


def attempt(action):
    try:
        result = action()
    except Exception as error:  # every refusal is an answer
        return "error:" + type(error).__name__
    return "ok" if result is None else result


def digest(lines):
    """The first 16 hex digits of the SHA-256 of the lines joined by newlines."""
    return hashlib.sha256("\n".join(str(item) for item in lines).encode()).hexdigest()[:16]


def followed(key, stream):
    """A followed stream: its bytes by side and the digest of its chunks."""
    chunks = list(stream.payload())
    sizes = {side: sum(len(data) for sender, data in chunks if sender == side) for side in ("client", "server")}
    lines = [sender[0] + ":" + data.hex() for sender, data in chunks]
    line(key, "client %d server %d chunks %d %s" % (sizes["client"], sizes["server"], len(chunks), digest(lines)))


def tree_answer(tree):
    return "%d %s" % (len(tree), digest("%d|%s|%d|%d" % (node.depth, node.label, node.start, node.length)
                                        for node in tree))


def by_frame(packets, frame):
    return next(packet for packet in packets if packet.frame_number == int(frame))


def follow_filtered(engine, path, kind, filter, frame):
    with engine.open(path, filter=filter) as capture:
        shown = list(capture)
        line("shown", len(shown))
        followed("follow", capture.follow(kind, by_frame(shown, frame)))


def nul_texts(engine, path):
    line("preference", attempt(lambda: engine.set_preference("tcp.desegment_tcp_streams:TRUE\0junk")))
    line("field", attempt(lambda: engine.register_field("ip.src\0junk", "parity")))
    line("group", attempt(lambda: engine.register_field("ip.src", "parity\0junk")))
    line("field-lookup", attempt(lambda: engine.field_info("ip.src\0junk")))
    line("path", attempt(lambda: engine.open(path + "\0junk")))
    line("open-filter", attempt(lambda: engine.open(path, filter="dns\0 && tcp")))
    with engine.open(path) as capture:
        line("filter", attempt(lambda: capture.set_filter("dns\0 && tcp")))
        line("after", len(list(capture)))


def passes(engine, path, frame):
    with engine.open(path) as capture:
        line("first", len(list(capture)))
        line("second", len(list(capture)))
        line("any-then-count", "%s %d" % (any(True for _ in capture), len(list(capture))))
        outer = iter(capture)
        next(outer)
        line("inner", len(list(capture)))
        line("overtaken", attempt(lambda: next(outer) and None))
        stream = capture.follow_tcp(by_frame(capture, frame))
        pairs = list(zip(stream.payload(), stream.payload()))
        line("stream-pairs", "%d %d" % (len(pairs), sum(first == second for first, second in pairs)))
        line("stream-nested", sum(len(list(stream.payload())) for _ in stream.payload()))


def inside_iteration(engine, path, frame):
    with engine.open(path) as capture:
        frames = []
        for packet in capture:
            frames.append(packet.frame_number)
            if packet.frame_number == int(frame):
                followed("follow", capture.follow_tcp(packet))
                line("tree", tree_answer(capture.tree(packet)))
        line("packets", "%d %s" % (len(frames), digest(frames)))


def save_formats(engine, path, frames, folder, prefix):
    with engine.open(path) as capture:
        chosen = None
        if frames != "all":
            first, last = (int(number) for number in frames.split("-"))
            chosen = [packet for packet in capture if first <= packet.frame_number <= last]
        for name in SAVE_FORMATS:
            out = os.path.join(folder, "%s-%s.out" % (prefix, name))
            line(name, attempt(lambda: "written:%d" % capture.save(out, chosen, format=name).written))


def never_looked_up(engine, path, field, group):
    engine.register_field(field, group)
    with engine.open(path) as capture:
        line("matched", sum(1 for _ in capture if capture.matched_fields(group)))


def stale(engine, path, frame_one, frame_two, field):
    engine.register_field(field, "parity")
    field_id = engine.field_info(field).id
    with engine.open(path) as capture:
        node = capture.tree(capture.next_packet()).find("frame.len")[0]
        line("node-fresh", attempt(node.uint64))
        capture.next_packet()
        line("node-after-read", attempt(node.uint64))
        packets = list(capture)
        one, two = by_frame(packets, frame_one), by_frame(packets, frame_two)
        node = capture.tree(one).find("frame.len")[0]
        capture.tree(two)
        line("node-after-tree", attempt(node.uint64))
        stream = capture.follow_tcp(one)
        capture.follow_tcp(two)
        line("stream-after-follow", attempt(lambda: len(list(stream.payload()))))
        stream = capture.follow_tcp(one)
        list(capture)
        line("stream-after-pass", attempt(lambda: len(list(stream.payload()))))
        capture.packet(one)
        line("earlier-value", capture.value_text(field_id) if field_id in capture.matched_fields("parity") else "")


def closed(engine, path, frame, folder):
    engine.register_field("frame.len", "parity")
    capture = engine.open(path)
    packet = by_frame(capture, frame)
    node = capture.tree(packet)[0]
    stream = capture.follow_tcp(packet)
    capture.close()
    line("read", attempt(capture.next_packet))
    line("iterate", attempt(lambda: len(list(capture))))
    line("filter", attempt(lambda: capture.set_filter("tcp")))
    line("tree", attempt(lambda: capture.tree(packet)))
    line("follow", attempt(lambda: capture.follow_tcp(packet)))
    line("save", attempt(lambda: capture.save(os.path.join(folder, "closed.pcapng"))))
    line("matched", attempt(lambda: capture.matched_fields("parity")))
    line("node-value", attempt(node.value_text))
    line("stream", attempt(lambda: len(list(stream.payload()))))
    line("close-again", attempt(capture.close))


def foreign(engine, path_one, path_two, frame, folder):
    first = engine.open(path_one)
    packet = by_frame(first, frame)
    with engine.open(path_two) as other:
        line("tree", attempt(lambda: other.tree(packet)))
        line("packet", attempt(lambda: other.packet(packet)))
        line("follow", attempt(lambda: other.follow_tcp(packet)))
        line("save", attempt(lambda: other.save(os.path.join(folder, "foreign.pcapng"), [packet])))
    with engine.open(path_one) as again:
        line("same-file-tree", attempt(lambda: again.tree(packet)))


def long_info(engine, path):
    def answer(infos):
        return "%d long %d %s" % (len(infos), sum(len(info.encode()) > 255 for info in infos), digest(infos))

    with engine.open(path) as capture:
        line("info", answer([packet.info_text for packet in capture]))
        line("dataframe", answer(list(capture.to_dataframe()["info_text"])))


def values_in_loop(engine, path, field):
    engine.register_field(field, "parity")
    field_id = engine.field_info(field).id
    with engine.open(path) as capture:
        asked = []
        for packet in capture:
            matched = field_id in capture.matched_fields("parity")
            asked.append("%d\t%s" % (packet.frame_number, capture.value_text(field_id) if matched else ""))
        line("values", digest(asked))
        frame = capture.to_dataframe(fields=(field,))
        missing = frame[field].isna()
        line("carried", digest("%d\t%s" % (number, "" if absent else value) for number, value, absent
                               in zip(frame["frame_number"], frame[field].astype(object), missing)))


def summary_line(packet):
    """A live packet as the table compares it (not its time)."""
    return "%d|%s|%s|%s|%s|%d|%d|%d" % (packet.frame_number, packet.protocol_text, packet.info_text,
                                        packet.source_text, packet.destination_text, packet.source_port,
                                        packet.destination_port, packet.packet_length)


def live_udp(engine, interface, bpf, count, folder):
    with engine.live(interface, bpf=bpf, count=int(count)) as capture:
        packets = list(capture)
        line("packets", "%d %s" % (len(packets), " ".join(packet.info_text.split()[-1] for packet in packets)))
        line("summaries", digest(summary_line(packet) for packet in packets))
        line("saved", "written:%d" % capture.save(os.path.join(folder, "live.pcapng")).written)


def live_errors(engine, interface, missing):
    line("bad-filter", attempt(lambda: engine.live(interface, bpf="udp port (((", count=1).close()))
    line("no-interface", attempt(lambda: engine.live(missing, count=1).close()))


SCENARIOS = {
    "follow-filtered": follow_filtered, "nul-texts": nul_texts, "passes": passes,
    "inside-iteration": inside_iteration, "save-formats": save_formats, "never-looked-up": never_looked_up,
    "stale": stale, "closed": closed, "foreign": foreign, "long-info": long_info,
    "values-in-loop": values_in_loop, "live-udp": live_udp, "live-errors": live_errors,
}

if __name__ == "__main__":
    SCENARIOS[sys.argv[1]](wsbridge.start(), *sys.argv[2:])
