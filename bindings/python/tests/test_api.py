# SPDX-License-Identifier: GPL-2.0-or-later
"""The Pythonic layer on the build's sample capture, against the
command-line host (the C interface) and the engine's own programs. One
engine serves the whole module."""

import dataclasses
import subprocess
import textwrap
import threading
import time

import pytest

import wsbridge
from wsbridge import FieldType, Locator, WsbridgeError

from conftest import PACKAGE_DIR


def run(*command):
    return subprocess.run(list(command), stdout=subprocess.PIPE, check=True).stdout


@pytest.fixture(scope="module")
def summaries(engine, sample_capture):
    with engine.open(sample_capture) as capture:
        return list(capture)


@pytest.fixture
def capture(engine, sample_capture):
    with engine.open(sample_capture) as opened:
        yield opened


def read_to(capture, frame):
    for summary in capture:
        if summary.frame_number == frame:
            return summary
    raise AssertionError("no frame %d" % frame)


# ---- sequential reading -----------------------------------------------------

def test_iteration_gives_every_packet_as_a_summary(summaries, cli, sample_capture):
    assert [s.frame_number for s in summaries] == list(range(1, 24))
    lines = run(cli, "summary", sample_capture).decode().splitlines()
    assert len(lines) == len(summaries)
    for summary, line in zip(summaries, lines):
        fields = line.split()
        assert fields[0] == str(summary.frame_number)
        assert " %s %d " % (summary.protocol_text, summary.packet_length) in line
        assert line.endswith(summary.info_text)
    dns = summaries[2]
    assert (dns.protocol_text, dns.info_text) == ("DNS", "Standard query 0x1a2b A example.com")
    assert (dns.source_text, dns.destination_text) == ("192.168.1.10", "8.8.8.8")
    assert dns.link_source_text == "00:11:22:33:44:55"
    assert (dns.port_type, dns.source_port, dns.destination_port) == (wsbridge.PortType.UDP, 53000, 53)
    assert dns.source_address_type == wsbridge.AddressType.IPv4
    assert (dns.file_offset, dns.packet_length, dns.captured_length, dns.encapsulation) == (140, 71, 71, 1)
    assert (dns.time_seconds, dns.time_nanoseconds, dns.relative_time) == (1700000000, 3700000, 37000)
    assert dns.timestamp == pytest.approx(1700000000.0037)
    assert summaries[16].source_address_type == wsbridge.AddressType.IPv6


def test_the_end_of_the_capture_ends_sequential_reading_for_good(capture):
    assert len(capture.read_all()) == 23
    assert capture.at_end
    assert capture.next_packet() is None
    assert capture.read_all() == []
    assert [l.frame_number for l in capture.locators] == list(range(1, 24))


def test_reading_continues_where_iteration_stopped(capture):
    first = [s.frame_number for _, s in zip(range(3), capture)]
    rest = [s.frame_number for s in capture.read_all()]
    assert first == [1, 2, 3]
    assert rest == list(range(4, 24))


def test_each_iteration_is_a_pass_of_its_own_from_the_first_packet(capture):
    assert [s.frame_number for s in capture] == list(range(1, 24))
    assert sum(1 for _ in capture) == 23
    assert any(True for _ in capture)
    assert len(list(capture)) == 23
    # Two iterators at once: the one overtaken says so instead of going on.
    one, two = iter(capture), iter(capture)
    assert next(one).frame_number == 1
    assert next(two).frame_number == 1
    with pytest.raises(wsbridge.StateError) as error:
        next(one)
    assert isinstance(error.value, RuntimeError) and "new pass" in str(error.value)
    assert [s.frame_number for s in two] == list(range(2, 24))


def test_following_and_trees_inside_an_iteration_leave_it_whole(capture, cli, sample_capture):
    frames = []
    for summary in capture:
        frames.append(summary.frame_number)
        if summary.frame_number == 7:
            stream = capture.follow_tcp(summary)
            tree = capture.tree(summary)
    assert frames == list(range(1, 24))
    assert stream.client_description == "192.168.1.10:51000 --> 93.184.216.34:80 (79 bytes)"
    assert tree.format() == tree_by_cli(cli, sample_capture, 7)


def test_a_closed_capture_refuses_use(engine, sample_capture):
    with engine.open(sample_capture) as capture:
        next(capture)
    assert capture.closed
    with pytest.raises(WsbridgeError) as error:
        next(capture)
    assert error.value.status == 1
    assert "is closed" in str(error.value)


# ---- random access and trees ------------------------------------------------

def test_a_packet_read_again_by_its_locator(capture):
    summaries = capture.read_all()
    again = capture.packet(summaries[11])
    assert again == summaries[11]
    bare = capture.packet(summaries[11].locator.arguments())
    assert (bare.source_text, bare.destination_port, bare.packet_length) == \
        (summaries[11].source_text, summaries[11].destination_port, 244)
    assert (bare.protocol_text, bare.info_text, bare.relative_time) == ("", "", 0)
    with pytest.raises(WsbridgeError) as error:
        capture.packet(Locator(1, 2 ** 31, 42, 42, 1))
    assert "exceeds 2GB" in str(error.value)


def tree_by_cli(cli, path, frame):
    return run(cli, "tree", path, str(frame)).decode("utf-8", errors="replace")


@pytest.mark.parametrize("frame", [3, 12, 19])
def test_a_tree_equals_the_c_interface_tree(engine, sample_capture, cli, frame):
    with engine.open(sample_capture) as capture:
        summary = read_to(capture, frame)
        tree = capture.tree(summary)
    assert tree.format() == tree_by_cli(cli, sample_capture, frame)
    with open(sample_capture, "rb") as file:
        file.seek(summary.file_offset + 16)
        assert tree.data == file.read(summary.captured_length)


def test_tree_nodes_are_linked(capture):
    tree = capture.tree(read_to(capture, 10))
    assert tree.roots[0].label.startswith("Frame 10:")
    assert [root.abbrev for root in tree.roots] == ["frame", "eth", "ip", "tcp", "http"]
    for position, node in enumerate(tree):
        assert node.index == position + 1
        assert tree[position] is node
        if node.parent is None:
            assert node.parent_index == -1 and node in tree.roots and node.depth == 0
        else:
            assert node.parent.index == node.parent_index
            assert node in node.parent.children
            assert node.depth == node.parent.depth + 1
    assert sum(1 for root in tree.roots for _ in root.walk()) == len(tree)
    port = tree.find("tcp.srcport")[0]
    assert port.parent.abbrev == "tcp"
    assert (port.name, port.field_type, port.start, port.length) == \
        ("Source Port", FieldType.UINT16, 34, 2)


def test_tree_node_values(capture):
    tree = capture.tree(read_to(capture, 9))
    assert tree.find("tcp.srcport")[0].uint64() == 51000
    assert tree.find("ip.src")[0].string() == "192.168.1.10"
    assert tree.find("tcp.window_size_scalefactor")[0].int32() == -2
    with pytest.raises(WsbridgeError) as error:
        tree.find("ip.src")[0].int32()
    assert "int32" in str(error.value)
    # Another dissection makes the handles stale.
    next(capture)
    with pytest.raises(WsbridgeError) as error:
        tree.find("tcp.srcport")[0].uint64()
    assert "no longer the packet dissected last" in str(error.value)


# ---- fields -----------------------------------------------------------------

def test_registered_fields_and_their_values(engine, capture):
    engine.register_field("dns.qry.name", "PY_DNS")
    engine.register_field("ip.ttl", "PY_DNS")
    engine.register_field("udp.length", "PY_DNS")
    name = engine.field_info("dns.qry.name")
    ttl = engine.field_info("ip.ttl")
    assert (name.type, ttl.type) == (FieldType.STRING, FieldType.UINT8)
    assert engine.field_info("ip.version").type == FieldType.UINT8
    read_to(capture, 3)
    ids = capture.matched_fields("PY_DNS")
    assert ids == [name.id, ttl.id, engine.field_info("udp.length").id]
    assert capture.string(name.id) == "example.com"
    assert capture.uint64(ttl.id) == 64
    assert tuple(dataclass_values(capture.field_location(name.id))) == (12, 13, FieldType.STRING)
    assert tuple(dataclass_values(capture.field_location_ex(name.id))) == (54, 13, FieldType.STRING)
    assert capture.transport_payload_offset() == 42
    assert capture.ipv4_payload_offset() == 34
    assert capture.matched_fields("UDP") == [engine.field_info("udp.srcport").id]
    with pytest.raises(WsbridgeError) as error:
        capture.int32(ttl.id)
    assert error.value.status == 1
    # A UDP packet matches nothing of the TCP group.
    assert capture.matched_fields("TCP") == []


def test_an_unknown_group_or_field_raises(engine, capture):
    next(capture)
    with pytest.raises(WsbridgeError) as error:
        capture.matched_fields("NO_SUCH_GROUP")
    assert error.value.message == "Requested protocol \"NO_SUCH_GROUP\" was not registered.\n"
    with pytest.raises(WsbridgeError) as error:
        engine.field_info("never.registered")
    assert "was not registered" in str(error.value)


def dataclass_values(value):
    import dataclasses
    return [getattr(value, field.name) for field in dataclasses.fields(value)]


# ---- saving -----------------------------------------------------------------

def test_saving_a_selection_equals_editcap(capture, sample_capture, tmp_path):
    summaries = capture.read_all()
    path = tmp_path / "selection.pcap"
    result = capture.save(path, [summaries[0], summaries[2], summaries[4].locator])
    assert (result.written, result.skipped, result.not_matching) == (3, 0, 0)
    expected = tmp_path / "editcap.pcap"
    run("editcap", "-F", "pcap", "-r", sample_capture, str(expected), "1", "3", "5")
    assert path.read_bytes() == expected.read_bytes()


def test_saving_with_the_tcp_tracker_equals_the_c_interface(capture, cli, sample_capture, tmp_path):
    summaries = capture.read_all()
    path = tmp_path / "tracked.pcap"
    result = capture.save(str(path), summaries[6:16], skip_tcp_repeats=True)
    by_cli = tmp_path / "cli.pcap"
    line = run(cli, "save", sample_capture, str(by_cli), "7-16", "--skip-tcp-repeats").decode()
    assert line.strip() == "%d written, %d skipped" % (result.written, result.skipped)
    assert path.read_bytes() == by_cli.read_bytes()


def test_a_failed_save_leaves_nothing(capture, tmp_path):
    summaries = capture.read_all()
    # A packet is named by its frame number: a Locator without its time stamp will do.
    assert capture.save(tmp_path / "x.pcap", [Locator(*summaries[0].locator.arguments())]).written == 1
    missing = Locator(99, 2 ** 31, 42, 42, 1, 0, 0)
    with pytest.raises(WsbridgeError) as error:
        capture.save(tmp_path / "broken.pcap", [summaries[0], missing])
    assert "has no frame 99" in str(error.value)
    assert not (tmp_path / "broken.pcap").exists()
    # Another save starts afresh.
    assert capture.save(tmp_path / "after.pcap", summaries[:2]).written == 2


def test_saving_as_pcapng_keeps_comments_and_link_types(engine, tmp_path):
    from conftest import run_tshark, shared_capture
    original = shared_capture("pcapng-example.pcapng")
    with engine.open(original) as capture:
        summaries = capture.read_all()
        assert capture.save(tmp_path / "all.pcapng", summaries, format="pcapng").written == len(summaries)
        with pytest.raises(ValueError):
            capture.save(tmp_path / "never", summaries, format="pcapng-ish")
    fields = ["-T", "fields", "-e", "frame.time_epoch", "-e", "frame.encap_type", "-e", "frame.comment"]
    assert run_tshark(["-r", str(tmp_path / "all.pcapng")] + fields) == run_tshark(["-r", original] + fields)
    assert not (tmp_path / "never").exists()


# ---- following --------------------------------------------------------------

def cli_follow(cli, path, kind, frame):
    return run(cli, "follow", kind, path, str(frame)).decode("utf-8", errors="replace")


def test_following_tcp_equals_the_c_interface(capture, cli, sample_capture):
    summaries = capture.read_all()
    stream = capture.follow_tcp(summaries[6])
    assert stream.valid
    assert stream.client_description == "192.168.1.10:51000 --> 93.184.216.34:80 (79 bytes)"
    assert stream.server_description == "93.184.216.34:80 --> 192.168.1.10:51000 (190 bytes)"
    assert stream.conversation_description == "Entire conversation (269 bytes)"
    lines = list(stream)
    assert [direction for direction, _ in lines] == ["client", "server"]
    expected = "\n".join([stream.client_description, stream.server_description,
                          stream.conversation_description] + [text for _, text in lines]) + "\n"
    assert expected == cli_follow(cli, sample_capture, "tcp", 7)
    # Every pass starts at the first segment, also after one left half way.
    assert list(stream) == lines
    partial = stream.lines()
    next(partial)
    assert list(stream.lines(direction="server")) == lines[1:]
    payload = list(stream.payload())
    assert [len(data) for _, data in payload] == [79, 190]
    assert payload[0][1].startswith(b"GET / HTTP/1.1\r\n")
    assert [d for d, _ in stream.payload(direction="client")] == ["client"]
    dump = list(stream.lines(format="hexdump"))
    assert dump[0][1].startswith("00000000  47 45 54 20")


def test_iterators_over_one_stream_keep_their_own_place(engine):
    from conftest import shared_capture
    with engine.open(shared_capture("one_tcp_stream.pcap")) as capture:
        stream = capture.follow_tcp(next(capture))
        lines, dump = list(stream), list(stream.lines(format="hexdump"))
        assert len(lines) > 4
        assert list(zip(stream, stream)) == list(zip(lines, lines))
        assert list(zip(stream.lines(format="hexdump"), stream)) == list(zip(dump, lines))
        # One left half way, one taken up again after another ran through.
        left, taken = iter(stream), iter(stream)
        next(left), next(taken)
        assert list(stream) == lines
        assert list(taken) == lines[1:]


def test_following_udp_and_an_empty_stream(capture, cli, sample_capture):
    summaries = capture.read_all()
    stream = capture.follow("udp", summaries[2])
    assert stream.client_description == "192.168.1.10:53000 --> 8.8.8.8:53 (29 bytes)"
    text = "\n".join([stream.client_description, stream.server_description,
                      stream.conversation_description] + [t for _, t in stream]) + "\n"
    assert text == cli_follow(cli, sample_capture, "udp", 3)
    assert [(d, len(b)) for d, b in stream.payload()] == [("client", 29), ("server", 45)]

    empty = capture.follow_tcp(summaries[20])  # a handshake without payload
    assert not empty.valid
    assert empty.message == "Empty TCP stream."
    assert list(empty) == []
    # The stream followed before is gone.
    with pytest.raises(WsbridgeError) as error:
        list(stream)
    assert "no longer the followed stream" in str(error.value)


def test_following_a_packet_of_another_kind_raises(capture):
    arp = next(capture)
    with pytest.raises(WsbridgeError) as error:
        capture.follow_tcp(arp)
    assert error.value.status == 1
    with pytest.raises(ValueError):
        capture.follow("sctp", arp)


# ---- threads ----------------------------------------------------------------

def test_threads_share_the_engine_one_call_at_a_time(engine, sample_capture):
    results = []

    def reader():
        results.append(wsbridge.start() is engine)

    threads = [threading.Thread(target=reader) for _ in range(4)]
    with engine.open(sample_capture) as capture:
        counted = []
        shared = iter(capture)

        def count():
            counted.extend(s.frame_number for s in shared)

        workers = [threading.Thread(target=count) for _ in range(3)]
        for thread in threads + workers:
            thread.start()
        for thread in threads + workers:
            thread.join()
    assert results == [True] * 4
    assert sorted(counted) == list(range(1, 24))


# ---- objects the library cannot answer for ----------------------------------

def test_packets_of_another_capture_are_refused_by_every_call(engine, sample_capture, tmp_path):
    with engine.open(sample_capture) as first:
        old = first.read_all()
    with engine.open(sample_capture) as capture:
        mine = capture.read_all()
        foreign = [old[2], old[2].locator, first.locators[6]]
        calls = [capture.packet, capture.tree, capture.follow_udp,
                 lambda p: capture.save(tmp_path / "foreign.pcap", [mine[0], p])]
        for packet in foreign:
            for call in calls:
                with pytest.raises(wsbridge.ForeignObjectError) as error:
                    call(packet)
                assert isinstance(error.value, ValueError)
                assert "not from this capture" in str(error.value)
        assert not (tmp_path / "foreign.pcap").exists()
        # Its own packets, and a Locator built by hand, are taken.
        assert capture.packet(mine[2]) == mine[2]
        assert capture.packet(Locator(*mine[2].locator.arguments())).frame_number == 3


def test_stale_objects_raise_and_closed_ones_raise_value_errors(engine, sample_capture):
    capture = engine.open(sample_capture)
    summaries = capture.read_all()
    tree = capture.tree(summaries[8])
    port = tree.find("tcp.srcport")[0]
    assert port.uint64() == 51000
    capture.packet(summaries[8])   # the same packet, dissected again
    with pytest.raises(wsbridge.StaleObjectError):
        port.uint64()
    stream = capture.follow_tcp(summaries[6])
    capture.close()
    for call in (lambda: next(capture), lambda: capture.packet(summaries[0]), port.string,
                 lambda: list(stream), lambda: capture.matched_fields("IP")):
        with pytest.raises(wsbridge.CaptureClosedError) as error:
            call()
        assert isinstance(error.value, ValueError)
        assert "is closed" in str(error.value)


def test_unknown_names_are_key_errors(engine, capture):
    with pytest.raises(wsbridge.UnknownFieldError) as error:
        engine.register_field("tcp.srcprot", "PY_TYPO")
    assert isinstance(error.value, KeyError)
    assert str(error.value) == ("\"Register protocol field filter\" operation failed. \"tcp.srcprot\" is "
                                "neither a field nor a protocol name the engine knows.")
    # Nothing was filed: the registry goes on working.
    assert engine.field_info("ip.version").type == FieldType.UINT8
    # Before the first packet and after the end there is no packet to ask
    # about: a state error, not an unknown group.
    with pytest.raises(wsbridge.StateError) as error:
        capture.matched_fields("IP")
    assert not isinstance(error.value, KeyError) and "no dissected packet" in str(error.value)
    next(capture)
    for call in (lambda: engine.field_info("tcp.srcprot"),
                 lambda: capture.matched_fields("PY_TYPO")):
        with pytest.raises(KeyError):
            call()
    capture.read_all()
    with pytest.raises(wsbridge.StateError):
        capture.matched_fields("IP")
    capture.packet(capture.locators[0])   # a packet re-read is current again (ARP)
    assert capture.matched_fields("IP") == []


def test_status_three_is_a_memory_error():
    error = wsbridge.errors.error_for(wsbridge.Status.OUT_OF_MEMORY, "out of memory", "read")
    assert isinstance(error, wsbridge.EngineOutOfMemoryError)
    assert isinstance(error, MemoryError) and isinstance(error, WsbridgeError)
    assert error.status == 3


# ---- DataFrames -------------------------------------------------------------

SUMMARY_NAMES = [f.name for f in dataclasses.fields(wsbridge.Summary) if f.name != "origin"]
FRAME_NAMES = [name for name in SUMMARY_NAMES if name != "time_nanoseconds"]
FRAME_NAMES[FRAME_NAMES.index("time_seconds")] = "time"


def test_a_dataframe_matches_iterating(engine, sample_capture):
    pandas = pytest.importorskip("pandas")
    fields = ["ip.ttl", "dns.qry.name", "tcp.flags.syn", "tcp.window_size_scalefactor", "ip.src"]
    with engine.open(sample_capture) as capture:
        summaries = capture.read_all()
        frame = capture.to_dataframe(fields)  # after reading: every packet all the same
    assert list(frame.columns) == FRAME_NAMES + fields
    assert (str(frame["time"].dtype), str(frame["relative_time"].dtype),
            str(frame["port_type"].dtype), str(frame["info_text"].dtype)) == \
        ("datetime64[ns, UTC]", "float64", "category", "string")
    assert [str(frame[name].dtype) for name in fields] == \
        ["UInt64", "string", "boolean", "Int64", "string"]
    infos = [engine.field_info(name) for name in fields]
    with engine.open(sample_capture) as capture:
        for row, summary in zip(frame.to_dict("records"), capture):
            assert row["time"] == pandas.Timestamp(summary.time_seconds * 10 ** 9
                                                   + summary.time_nanoseconds, tz="UTC")
            assert row["relative_time"] == summary.relative_time / 1e7
            assert row["port_type"] == summary.port_type.name
            for name in set(FRAME_NAMES) - {"time", "relative_time", "port_type"}:
                assert row[name] == getattr(summary, name), name
            ids = capture.matched_fields("wsbridge.to_dataframe")
            for name, info in zip(fields, infos):
                value = row[name]
                if info.id not in ids:
                    assert pandas.isna(value)
                elif info.type in (FieldType.INT8, FieldType.INT16, FieldType.INT32):
                    assert value == capture.int32(info.id)
                elif info.type in (FieldType.STRING, FieldType.IPv4):
                    assert value == capture.string(info.id)
                else:
                    assert value == capture.uint64(info.id)
        assert capture.next_packet() is None
    assert len(frame) == len(summaries) == 23
    assert frame["dns.qry.name"][2] == "example.com"
    assert frame["tcp.window_size_scalefactor"][8] == -2


def test_a_dataframe_holds_every_packet_and_leaves_the_capture_as_it_was(engine):
    pytest.importorskip("pandas")
    from conftest import run_tshark, shared_capture
    path = shared_capture("three_http_streams.pcap")

    def frames(display_filter):
        output, _ = run_tshark(["-r", path, "-Y", display_filter, "-T", "fields",
                                "-e", "frame.number"])
        return [int(number) for number in output.split()]

    tcp, requests, every = frames("tcp.len > 0"), frames("http.request"), frames("frame")
    with engine.open(path, filter="tcp.len > 0") as capture:
        assert [next(capture).frame_number for _ in range(3)] == tcp[:3]
        assert list(capture.to_dataframe()["frame_number"]) == tcp
        assert list(capture.to_dataframe(filter="http.request")["frame_number"]) == requests
        assert capture.filter == "tcp.len > 0"
        assert next(capture).frame_number == tcp[3]
        capture.read_all()
        assert len(capture.to_dataframe(filter="")) == len(every)
        assert capture.next_packet() is None
    with engine.open(path) as capture:
        assert len(capture.to_dataframe()) == len(every)
        assert next(capture).frame_number == 1
        assert capture.to_dataframe(filter="frame.number > 1000").empty


def write_ptp_follow_ups(path, subtypes):
    """A libpcap file of 802.1AS Follow_Up messages whose organization
    subtype (a signed 24-bit field) takes each of `subtypes`."""
    import struct
    with open(path, "wb") as file:
        file.write(struct.pack("<IHHiIII", 0xa1b2c3d4, 2, 4, 0, 0, 65535, 1))
        for second, subtype in enumerate(subtypes):
            tlv = struct.pack(">HH", 3, 28) + bytes.fromhex("0080c2") + \
                (subtype & 0xffffff).to_bytes(3, "big") + bytes(22)
            header = bytes([0x18, 0x02]) + struct.pack(">H", 44 + len(tlv)) + bytes(26) + \
                struct.pack(">H", second) + bytes([2, 0xfd])
            data = bytes.fromhex("0180c200000e00112233445588f7") + header + bytes(10) + tlv
            file.write(struct.pack("<IIII", 1700000000 + second, 0, len(data), len(data)) + data)


def test_dataframe_signed_24_bit_integers_and_local_times(tmp_path):
    pytest.importorskip("pandas")
    from conftest import run_python
    path = str(tmp_path / "ptp.pcap")
    write_ptp_follow_ups(path, [1, -1, 0x7fffff])
    completed = run_python("""
        import sys, wsbridge
        with wsbridge.start().open(sys.argv[1]) as capture:
            frame = capture.to_dataframe(["ptp.as.fu.organizationSubType", "frame.time"])
        print(frame["ptp.as.fu.organizationSubType"].dtype,
              list(frame["ptp.as.fu.organizationSubType"]),
              bool((frame["frame.time"] == frame["time"]).all()))
        """, path, env={"TZ": "America/New_York"})
    assert completed.stdout.split("\n")[0] == "Int64 [1, -1, 8388607] True"


def test_a_dataframe_filter_keeps_what_tshark_keeps(engine, sample_capture):
    pytest.importorskip("pandas")
    from conftest import run_tshark
    with engine.open(sample_capture) as capture:
        output, _ = run_tshark(["-r", sample_capture, "-Y", "dns", "-T", "fields",
                                "-e", "frame.number"])
        frame = capture.to_dataframe(filter="dns")
        assert list(frame["frame_number"]) == [int(n) for n in output.split()]


def test_without_pandas_a_dataframe_says_how_to_install_it(sample_capture):
    from conftest import run_python
    completed = run_python("""
        import sys, wsbridge
        sys.modules["pandas"] = None
        with wsbridge.start().open(sys.argv[1]) as capture:
            try:
                capture.to_dataframe()
            except ImportError as error:
                print(error)
        """, sample_capture)
    assert "apt install python3-pandas" in completed.stdout
    assert "pip install pandas" in completed.stdout


# ---- display filters, preferences and value texts ------------------------

def test_display_filters_keep_what_tshark_keeps(engine):
    from conftest import run_tshark, shared_capture
    path = shared_capture("three_http_streams.pcap")
    output, _ = run_tshark(["-r", path, "-Y", "http.request", "-T", "fields", "-e", "frame.number"])
    with engine.open(path, filter="http.request") as capture:
        assert capture.filter == "http.request"
        assert [p.frame_number for p in capture] == [int(n) for n in output.split()]
    with engine.open(path) as capture:
        assert capture.filter is None  # a filter ends with its capture
        capture.set_filter("tcp.flags.syn == 1")
        with pytest.raises(wsbridge.InvalidSettingError) as error:
            capture.set_filter("tcp.port ==")
        assert isinstance(error.value, ValueError)
        assert str(error.value) == "Unexpected end of filter expression."
        assert capture.filter == "tcp.flags.syn == 1"  # the filter before stays
        first = capture.next_packet()
        capture.set_filter(None)
        assert capture.next_packet().frame_number == first.frame_number + 1
    with pytest.raises(wsbridge.InvalidSettingError):
        engine.open(path, filter="no.such.field")


def test_value_texts_are_what_tshark_prints(engine):
    from conftest import run_tshark, shared_capture
    path = shared_capture("one_tcp_stream.pcap")
    names = ["tcp.flags", "eth.src", "frame.time_relative", "tcp.analysis.ack_rtt", "ip"]
    for name in names:
        engine.register_field(name, "TEXTS")
    ids = [engine.field_info(name).id for name in names]
    output, _ = run_tshark(["-r", path, "-T", "fields", "-E", "occurrence=f"]
                           + [option for name in names for option in ("-e", name)])
    expected = [line.split("\t") for line in output.decode().splitlines()]
    with engine.open(path) as capture:
        packets = []
        for packet, row in zip(capture, expected):
            packets.append(packet)
            matched = set(capture.matched_fields("TEXTS"))
            got = [capture.value_text(i) if i in matched else "" for i in ids]
            # Read in sequence, without labels, a protocol gives its name.
            assert got[:-1] == row[:-1] and got[-1] == "ip"
        assert len(packets) == len(expected)
        tree = capture.tree(packets[1])
        assert tree.find("ip")[0].value_text() == expected[1][-1]
        assert tree.find("tcp.flags")[0].value_text() == expected[1][0] == "0x0012"


def test_preferences_turn_reassembly_back_on(sample_capture):
    from conftest import run_python, shared_capture
    path = shared_capture("example2.pcap")
    completed = run_python("""
        import sys, wsbridge
        engine = wsbridge.start()
        for name in ["tcp.desegment_tcp_streams", "http.desegment_headers", "http.desegment_body",
                     "http.dechunk_body"]:
            engine.set_preference(name + ":TRUE")
        for wrong in ["tcp.no_such_preference:TRUE", "tcp.desegment_tcp_streams"]:
            try:
                engine.set_preference(wrong)
            except ValueError as error:
                print("refused:", error, file=sys.stderr)
        with engine.open(sys.argv[1]) as capture:
            try:
                engine.set_preference("tcp.desegment_tcp_streams:FALSE")
            except wsbridge.InvalidSettingError as error:
                print("refused:", error, file=sys.stderr)
            for packet in capture:
                print(packet.info_text)
        """, path)
    plain = subprocess.run(["tshark", "-r", path, "-T", "fields", "-e", "_ws.col.Info"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    assert completed.stdout.splitlines() == [line.decode("utf-8", errors="replace")
                                              for line in plain.stdout.splitlines()]
    assert completed.stderr.count("refused:") == 3, completed.stderr
    assert "only while no capture is open" in completed.stderr


# ---- text arguments ---------------------------------------------------------

def test_a_text_with_an_embedded_nul_is_refused_not_cut(engine, sample_capture, tmp_path):
    cut_here = tmp_path / "evil.sh"
    with engine.open(sample_capture) as capture:
        packets = capture.read_all()
        calls = [lambda: capture.save(str(cut_here) + "\0.pcap", packets[:1]),
                 lambda: engine.open(sample_capture + "\0junk"),
                 lambda: capture.set_filter("dns\0 || tcp"),
                 lambda: capture.matched_fields("IP\0junk"),
                 lambda: engine.register_field("ip.ttl\0junk", "PY_NUL"),
                 lambda: engine.register_field("ip.ttl", "PY_NUL\0junk"),
                 lambda: engine.field_info("ip.version\0junk"),
                 lambda: engine.set_preference("tcp.check_checksum:FALSE\0junk")]
        for call in calls:
            with pytest.raises(ValueError) as error:
                call()
            assert "embedded NUL" in str(error.value)
        assert not cut_here.exists()
        assert capture.filter is None and not capture.closed


# ---- statistics and plots ------------------------------------------------------

def test_statistics_answer_for_the_whole_capture_and_leave_reading_as_it_was(engine, sample_capture):
    pytest.importorskip("pandas")
    with engine.open(sample_capture) as capture:
        packets = len(list(capture))
        capture.set_filter("tcp")
        walk = iter(capture)
        first = next(walk)
        io = capture.io(0)
        assert list(io["frames"]) == [packets]
        assert int(capture.protocol_hierarchy()["frames"].iloc[0]) == packets
        second = next(walk)
        assert second.frame_number > first.frame_number and second.port_type == wsbridge.PortType.TCP
        assert capture.filter == "tcp"
        with pytest.raises(wsbridge.InvalidSettingError):
            capture.io(1, ["tcp.port ==="])
        with pytest.raises(wsbridge.NotSupportedError):
            capture.conversations("frame")
        with pytest.raises(ValueError):
            capture.io(-1)


def png_size(path):
    image = pytest.importorskip("matplotlib.image").imread(str(path))
    return image.shape[1], image.shape[0]


def test_plots_are_pngs_of_the_size_asked_for(engine, sample_capture, tmp_path):
    plot = pytest.importorskip("wsbridge.plot")
    pytest.importorskip("matplotlib")
    table = plot.io(sample_capture, tmp_path / "io.png", interval=0.5, filters=["tcp", "udp"],
                    width=640, height=360)
    assert set(table["filter"]) == {"tcp", "udp"}
    assert png_size(tmp_path / "io.png") == (640, 360)
    with engine.open(sample_capture) as capture:
        plot.hierarchy(capture, tmp_path / "phs.png", width=500, height=700)
    assert png_size(tmp_path / "phs.png") == (500, 700)


def test_the_plot_verb_draws_and_refuses_bad_requests(cli, sample_capture, tmp_path):
    pytest.importorskip("matplotlib")
    import os
    import sys
    from conftest import PACKAGE_DIR
    env = dict(os.environ, WSBRIDGE_PYTHON=sys.executable, PYTHONPATH=PACKAGE_DIR)
    out = tmp_path / "io.png"
    done = subprocess.run([cli, "plot", "io", sample_capture, str(out), "-i", "0.25", "-Y", "tcp",
                           "--width", "400", "--height", "300"], env=env, stderr=subprocess.PIPE)
    assert done.returncode == 0, done.stderr
    assert png_size(out) == (400, 300)
    done = subprocess.run([cli, "plot", "phs", sample_capture, str(tmp_path / "phs.png")], env=env)
    assert done.returncode == 0 and png_size(tmp_path / "phs.png") == (1000, 600)
    refused = tmp_path / "refused.png"
    for arguments, status, message in (
            (["io", sample_capture, str(refused), "-Y", "tcp.port ==="], 1, "tcp.port ==="),
            (["pie", sample_capture, str(refused)], 2, "unknown plot 'pie' (io or phs)"),
            (["io", sample_capture, str(refused), "--width", "10"], 2, "--width needs a number"),
            (["io", str(tmp_path / "missing.pcap"), str(refused)], 1, "missing.pcap")):
        done = subprocess.run([cli, "plot"] + arguments, env=env, stderr=subprocess.PIPE,
                              universal_newlines=True)
        assert done.returncode == status and message in done.stderr and "wsbridge plot" in done.stderr
        assert not refused.exists()
    missing = dict(env, WSBRIDGE_PYTHON=str(tmp_path / "no-python"))
    done = subprocess.run([cli, "plot", "io", sample_capture, str(refused)], env=missing,
                          stderr=subprocess.PIPE, universal_newlines=True)
    assert done.returncode == 1 and "WSBRIDGE_PYTHON" in done.stderr
    without_package = dict(env, PYTHONPATH=str(tmp_path))
    done = subprocess.run([cli, "plot", "io", sample_capture, str(refused)], env=without_package,
                          stderr=subprocess.PIPE, universal_newlines=True)
    if "cannot import the Python package wsbridge" not in done.stderr:
        assert done.returncode == 0  # an installed package was found
    else:
        assert done.returncode == 1


# ---- live capture -----------------------------------------------------------
# On the loopback interface, with datagrams the test sends to a port it picks.

def need_capture_rights():
    import os
    import shutil
    if os.geteuid() != 0 or not shutil.which("dumpcap"):
        pytest.skip("needs capture rights on lo (root, with dumpcap installed), as in CI")


def free_udp_port():
    import socket
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def send_datagrams(port, count):
    """count datagrams to 127.0.0.1:port, the k-th (from 1) k bytes long."""
    import socket
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for size in range(1, count + 1):
            sender.sendto(b"x" * size, ("127.0.0.1", port))


def dumpcaps_under(folder):
    """The dumpcap processes whose spool lies under folder (other helpers'
    captures on the machine are not the test's)."""
    found = subprocess.run(["pgrep", "-af", "dumpcap .*%s" % folder], stdout=subprocess.PIPE,
                           universal_newlines=True).stdout
    return [line for line in found.splitlines() if "pgrep" not in line]


def test_a_live_capture_gives_every_datagram_in_order_once(engine, tmp_path):
    need_capture_rights()
    port = free_udp_port()
    with engine.live("lo", bpf="udp port %d" % port, count=5, spool_folder=tmp_path) as capture:
        assert dumpcaps_under(tmp_path)
        send_datagrams(port, 5)
        packets = list(capture)
        assert [packet.info_text.split()[-1] for packet in packets] == ["Len=%d" % k for k in range(1, 6)]
        assert [packet.frame_number for packet in packets] == [1, 2, 3, 4, 5]
        assert capture.tree(packets[2]).find("udp.length")[0].uint64() == 11
        with pytest.raises(wsbridge.StateError, match="cannot be read a second time"):
            list(capture)
        assert capture.next_packet() is None and capture.wait(0) is True
    assert capture.counts == (5, 0)
    assert not dumpcaps_under(tmp_path) and not list(tmp_path.iterdir())


def test_stop_from_another_thread_ends_the_iteration(engine, tmp_path):
    need_capture_rights()
    port = free_udp_port()
    with engine.live("lo", bpf="udp port %d" % port, spool_folder=tmp_path) as capture:
        assert capture.wait(0.05) is False
        send_datagrams(port, 3)
        assert capture.wait(10) is True

        def stop_later():
            time.sleep(0.5)
            capture.stop()

        stopper = threading.Thread(target=stop_later)
        stopper.start()
        assert len(list(capture)) == 3
        stopper.join()
    assert not dumpcaps_under(tmp_path)


def test_a_live_dataframe_needs_a_stop_condition(engine, tmp_path):
    need_capture_rights()
    port = free_udp_port()
    with engine.live("lo", bpf="udp port %d" % port, spool_folder=tmp_path) as capture:
        with pytest.raises(ValueError, match="count= or duration="):
            capture.to_dataframe()
    with engine.live("lo", bpf="udp port %d" % port, count=4, spool_folder=tmp_path) as capture:
        send_datagrams(port, 4)
        frame = capture.to_dataframe(fields=["udp.length"])
        assert list(frame["frame_number"]) == [1, 2, 3, 4]
        assert list(frame["udp.length"]) == [9, 10, 11, 12]
        with pytest.raises(wsbridge.StateError):
            capture.to_dataframe()
    assert not dumpcaps_under(tmp_path)


def test_ctrl_c_in_a_loop_over_a_live_capture_stops_dumpcap(tmp_path):
    need_capture_rights()
    import os
    import signal
    import sys
    code = textwrap.dedent("""
        import sys, wsbridge
        with wsbridge.start().live("lo", bpf="udp port %d", spool_folder=sys.argv[1]) as capture:
            print("capturing", flush=True)
            for packet in capture:
                pass
    """ % free_udp_port())
    environment = dict(os.environ, PYTHONPATH=PACKAGE_DIR)
    child = subprocess.Popen([sys.executable, "-c", code, str(tmp_path)], env=environment,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    try:
        assert child.stdout.readline() == "capturing\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        _, errors = child.communicate(timeout=20)
    finally:
        child.kill()
    assert "KeyboardInterrupt" in errors, errors
    assert not dumpcaps_under(tmp_path) and not list(tmp_path.iterdir())


def test_no_capture_rights_is_a_permission_error():
    need_capture_rights()
    import os
    import shutil
    system_python = "/usr/bin/python3"
    if not os.path.exists(system_python) or not shutil.which("setpriv"):
        pytest.skip("needs /usr/bin/python3 and setpriv to run a user without capture rights")
    nobody = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
    readable = [os.path.join(PACKAGE_DIR, "wsbridge", "__init__.py"), os.environ.get("WSBRIDGE_LIBRARY", "")]
    if subprocess.run(nobody + ["test", "-r", readable[0], "-a", "-r", readable[1]]).returncode != 0:
        pytest.skip("the user nobody cannot read the package or the library in this build folder")
    code = textwrap.dedent("""
        import sys
        sys.path.insert(0, sys.argv[1])
        import wsbridge
        try:
            wsbridge.start().live("lo", count=1)
        except PermissionError as error:
            print(type(error).__name__, error.code.name, "wireshark" in str(error))
    """)
    # The spool folder goes to /tmp, which the user may write.
    environment = dict(os.environ, TMPDIR="/tmp")
    completed = subprocess.run(nobody + [system_python, "-c", code, PACKAGE_DIR], env=environment,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                               timeout=60)
    assert completed.stdout == "CapturePermissionError PERMISSION True\n", completed.stderr
