# SPDX-License-Identifier: GPL-2.0-or-later
"""The binding over the shared captures, against the engine's own tshark and
the C interface (through the command-line host): the same results as the C
tests' oracles."""

import dataclasses

import pytest

import wsbridge
from conftest import run_python, run_tshark, shared_capture, shared_capture_names

COLUMNS = ['-o', 'gui.column.format:"P","%p","I","%i"']


def tshark_rows(path):
    output, status = run_tshark(["-r", path, "-o", "frame.show_file_off:TRUE"] + COLUMNS + [
        "-T", "fields", "-E", "separator=/t", "-e", "frame.number", "-e", "frame.file_off",
        "-e", "frame.len", "-e", "frame.cap_len", "-e", "_ws.col.P", "-e", "_ws.col.I"])
    rows = []
    for line in output.split(b"\n"):
        fields = line.split(b"\t")
        if len(fields) == 6:
            rows.append(fields)
    return rows, status


def whole(text):
    """A column text, decoded as the binding decodes."""
    return text.decode("utf-8", errors="replace")


@pytest.mark.parametrize("name", shared_capture_names())
def test_summaries_equal_tshark(engine, name):
    path = shared_capture(name)
    rows, tshark_status = tshark_rows(path)
    try:
        capture = engine.open(path)
    except wsbridge.WsbridgeError as error:
        assert not rows, "tshark read a file the library refused: %s" % error
        assert error.message
        return
    index = 0
    with capture:
        try:
            for summary in capture:
                assert index < len(rows), "more packets than tshark shows"
                number, offset, length, captured, protocol, info = rows[index]
                index += 1
                assert (summary.frame_number, summary.file_offset, summary.packet_length,
                        summary.captured_length) == (int(number), int(offset), int(length),
                                                     int(captured))
                assert summary.protocol_text == whole(protocol), "frame %s" % number
                assert summary.info_text == whole(info), "frame %s" % number
        except wsbridge.WsbridgeError as error:
            # The library stopped where tshark reported the file as damaged.
            assert tshark_status != 0, str(error)
            assert error.status == 1 and error.message
            return
        assert index == len(rows)
        dataframe_equals_rows(capture, rows)


def dataframe_equals_rows(capture, rows):
    """The capture's DataFrame holds tshark's packets; the time stamp field
    read as text equals the time column (missing where a damaged time stamp
    is past what datetime64[ns] holds)."""
    pandas = pytest.importorskip("pandas")
    frame = capture.to_dataframe(["frame.time"])
    assert list(frame["frame_number"]) == [int(row[0]) for row in rows]
    # Whole texts, also an Info longer than 255 bytes.
    assert list(frame["protocol_text"]) == [whole(row[4]) for row in rows]
    assert list(frame["info_text"]) == [whole(row[5]) for row in rows]
    times, texts = frame["time"], frame["frame.time"]
    assert (times.isna() == texts.isna()).all()
    assert (times[times.notna()] == texts[texts.notna()]).all()


TREE_PACKETS = [
    ("one_tcp_stream.pcap", 1),
    ("one_tcp_stream.pcap", 4),
    ("dns_udp.pcap", 2),
    ("icmpv6.pcap", 3),
    ("OSPFv2_Capture_FINAL.pcapng", 1),
    ("ipv4_tcp_http_xml.pcap", 1),
    ("whois.pcap", 6),
]


@pytest.mark.parametrize("name,frame", TREE_PACKETS)
def test_trees_equal_the_c_interface(engine, cli, name, frame):
    import subprocess
    path = shared_capture(name)
    expected = subprocess.run([cli, "tree", path, str(frame)], stdout=subprocess.PIPE,
                              check=True).stdout.decode("utf-8", errors="replace")
    # Read the way the command does: in sequence up to the packet.
    with engine.open(path) as capture:
        for summary in capture:
            if summary.frame_number == frame:
                break
        tree = capture.tree(summary)
    assert len(tree) > 10
    assert tree.format() == expected


def tshark_follow_raw(path, kind, stream):
    output, status = run_tshark(["-n", "-r", path, "-q", "-z", "follow,%s,raw,%d" % (kind, stream)])
    assert status == 0
    nodes, records, in_records = [], [], False
    for line in output.decode().split("\n"):
        if line.startswith("Node 0: ") or line.startswith("Node 1: "):
            nodes.append(line[8:])
            in_records = line.startswith("Node 1: ")
        elif line.startswith("====="):
            in_records = False
        elif in_records and line:
            server = line.startswith("\t")
            records.append((server, bytes.fromhex(line.strip())))
    return nodes, records


# A display filter on the capture leaves the follow whole (the second one
# skips packets before the followed one).
@pytest.mark.parametrize("display_filter", [None, "tcp.dstport == 80", "tcp.srcport == 80"])
def test_following_one_tcp_stream_equals_tshark(engine, display_filter):
    path = shared_capture("one_tcp_stream.pcap")
    nodes, records = tshark_follow_raw(path, "tcp", 0)
    assert records
    shown, _ = run_tshark(["-r", path, "-Y", display_filter or "frame", "-T", "fields",
                           "-e", "frame.number"])
    with engine.open(path, filter=display_filter) as capture:
        first = next(capture)
        stream = capture.follow_tcp(first)
        got = list(stream.payload())
        assert capture.filter == display_filter
        # Reading goes on where it was.
        assert capture.next_packet().frame_number == int(shown.split()[1])
    # The library's client sent the first payload; tshark's node 0 is the
    # first node of the conversation.
    flipped = records[0][0]
    want = [("server" if server != flipped else "client", data) for server, data in records]
    assert len(got) == len(want)
    assert got == want
    client = sum(len(data) for direction, data in want if direction == "client")
    server = sum(len(data) for direction, data in want if direction == "server")
    client_node, server_node = (nodes[1], nodes[0]) if flipped else (nodes[0], nodes[1])
    assert stream.client_description == "%s --> %s (%d bytes)" % (client_node, server_node, client)
    assert stream.server_description == "%s --> %s (%d bytes)" % (server_node, client_node, server)
    assert stream.conversation_description == "Entire conversation (%d bytes)" % (client + server)


# Field columns of every type family against tshark -T fields: 24-bit
# integers (hexadecimal too) and frame numbers, times, booleans, floats,
# texts.
DATAFRAME_FIELDS = ["geneve.vni", "eth.addr.oui", "dns.response_to", "ip.ttl", "ip.flags.df",
                    "frame.time", "frame.time_delta", "icmp.resptime", "eth.src", "ip.src",
                    "dns.qry.name"]


def tshark_fields(path, fields, occurrence):
    output, status = run_tshark(["-r", path, "-T", "fields", "-E", "occurrence=" + occurrence,
                                 "-E", "separator=/t", "-e", "frame.time_epoch"]
                                + [option for name in fields for option in ("-e", name)])
    assert status == 0
    return [line.split("\t") for line in output.decode().splitlines()]


def nanoseconds(text):
    whole, _, fraction = text.partition(".")
    return int(whole) * 10 ** 9 + int((fraction + "000000000")[:9])


@pytest.mark.parametrize("name", ["geneve.pcap", "dns_udp.pcap"])
def test_dataframe_columns_equal_tshark(engine, name):
    pandas = pytest.importorskip("pandas")
    path = shared_capture(name)
    with engine.open(path) as capture:
        frame = capture.to_dataframe(DATAFRAME_FIELDS)
        # ip.addr occurs only as hidden items: every occurrence all the same.
        every = capture.to_dataframe(["ip.src", "ip.ttl", "ip.addr"], occurrence="all")
    assert [str(frame[field].dtype) for field in DATAFRAME_FIELDS] == \
        ["UInt64", "UInt64", "UInt64", "UInt64", "boolean", "datetime64[ns, UTC]",
         "timedelta64[ns]", "float64", "string", "string", "string"]
    rows = tshark_fields(path, DATAFRAME_FIELDS, "f")
    assert len(rows) == len(frame)
    for (_, got), want in zip(frame.iterrows(), rows):
        assert got["time"].value == nanoseconds(want[0])
        for field, text in zip(DATAFRAME_FIELDS, want[1:]):
            value = got[field]
            if not text:
                assert pandas.isna(value), field
            elif field in ("frame.time", "frame.time_delta"):
                assert value.value == (got["time"].value if field == "frame.time"
                                       else nanoseconds(text))
            elif str(frame[field].dtype) in ("UInt64", "boolean"):
                assert value == int(text, 16 if text.startswith("0x") else 10), field
            elif field == "icmp.resptime":
                assert value == float(text)
            else:
                assert value == text, field
    every_rows = tshark_fields(path, ["ip.src", "ip.ttl", "ip.addr"], "a")
    assert len(every_rows) == len(every)
    for (_, got), want in zip(every.iterrows(), every_rows):
        assert got["ip.src"] == (want[1].split(",") if want[1] else None)
        assert got["ip.ttl"] == ([int(ttl) for ttl in want[2].split(",")] if want[2] else None)
        assert got["ip.addr"] == (want[3].split(",") if want[3] else None)


# Every occurrence of fields of every kind side by side: each list holds the
# field's own values (its first is the first occurrence's column), whatever
# the other fields are.
MIXED_FIELDS = ["ip.src", "frame.time", "eth.src", "frame.time_delta", "icmp.resptime",
                "frame.number", "geneve.vni", "dns.qry.name", "ip.ttl", "ip.flags.df"]


@pytest.mark.parametrize("name", ["geneve.pcap", "dns_udp.pcap", "icmpv6.pcap"])
def test_every_occurrence_beside_fields_of_other_kinds(engine, name):
    pandas = pytest.importorskip("pandas")
    path = shared_capture(name)
    with engine.open(path) as capture:
        first = capture.to_dataframe(MIXED_FIELDS)
        every = capture.to_dataframe(MIXED_FIELDS, occurrence="all")
    rows = tshark_fields(path, ["ip.src", "eth.src", "dns.qry.name", "ip.ttl"], "a")
    assert len(rows) == len(every) == len(first) > 0
    for (_, one), (_, cells), want in zip(first.iterrows(), every.iterrows(), rows):
        for field in MIXED_FIELDS:
            if pandas.isna(one[field]):
                assert cells[field] is None, field
            else:
                assert cells[field][0] == one[field], field
        for field, text in zip(["ip.src", "eth.src", "dns.qry.name"], want[1:]):
            assert cells[field] == (text.split(",") if text else None), field
        assert cells["ip.ttl"] == ([int(ttl) for ttl in want[4].split(",")] if want[4] else None)


# A protocol field gives its label, as tshark -T fields prints it, for the
# first and for every occurrence.
PROTOCOL_FIELDS = ["ip", "udp", "geneve", "ip.src", "eth"]


def test_protocol_fields_give_their_labels(engine):
    pandas = pytest.importorskip("pandas")
    path = shared_capture("geneve.pcap")
    with engine.open(path) as capture:
        first = capture.to_dataframe(PROTOCOL_FIELDS, filter="frame.number <= 40")
        every = capture.to_dataframe(PROTOCOL_FIELDS, filter="frame.number <= 40",
                                     occurrence="all")
    assert str(first["ip"].dtype) == "string"
    for occurrence, frame in (("f", first), ("a", every)):
        output, status = run_tshark(["-r", path, "-Y", "frame.number <= 40", "-T", "fields",
                                     "-E", "occurrence=" + occurrence, "-E", "aggregator=\x01",
                                     "-e", "frame.number"]
                                    + [option for name in PROTOCOL_FIELDS for option in ("-e", name)])
        assert status == 0
        rows = [line.split("\t") for line in output.decode().splitlines()]
        assert [int(row[0]) for row in rows] == list(frame["frame_number"])
        assert any(row[1].startswith("Internet Protocol Version 4, Src: ") for row in rows)
        for (_, got), want in zip(frame.iterrows(), rows):
            for field, text in zip(PROTOCOL_FIELDS, want[1:]):
                value = got[field]
                if occurrence == "a":
                    assert value == (text.split("\x01") if text else None), field
                elif text:
                    assert value == text, field
                else:
                    assert pandas.isna(value), field


# to_dataframe reads in batches; iterating reads a packet a call once a value
# is asked for. On every shared capture both give the same packets and values.
BATCH_FIELDS = ["ip.src", "tcp.srcport", "frame.time_relative", "dns.qry.name", "tcp.flags.syn",
                "frame.number", "eth.src"]


def test_a_dataframe_equals_iterating_on_every_shared_capture(engine):
    pandas = pytest.importorskip("pandas")
    names = [f.name for f in dataclasses.fields(wsbridge.Summary)
             if f.name not in ("origin", "time_seconds", "time_nanoseconds", "relative_time",
                               "port_type")]
    infos = None
    for capture_name in shared_capture_names():
        with engine.open(shared_capture(capture_name)) as capture:
            frame = capture.to_dataframe(BATCH_FIELDS)
            infos = infos or [engine.field_info(name) for name in BATCH_FIELDS]
            rows = frame.to_dict("records")
            count = 0
            for row, summary in zip(rows, capture):
                count += 1
                where = (capture_name, summary.frame_number)
                assert [row[name] for name in names] == [getattr(summary, name) for name in names], where
                assert row["port_type"] == summary.port_type.name, where
                assert row["relative_time"] == summary.relative_time / 1e7, where
                matched = capture.matched_fields("wsbridge.to_dataframe")
                for name, info in zip(BATCH_FIELDS, infos):
                    value = row[name]
                    if info.id not in matched:
                        assert pandas.isna(value), (where, name)
                    elif name == "frame.time_relative":
                        # NaT for a span that timedelta64[ns] cannot hold.
                        span = nanoseconds(capture.value_text(info.id))
                        if abs(span) < 1 << 63:
                            assert value.value == span, (where, name)
                        else:
                            assert pandas.isna(value), (where, name)
                    elif name == "tcp.flags.syn":
                        assert value == bool(capture.uint64(info.id)), (where, name)
                    elif name in ("tcp.srcport", "frame.number"):
                        assert value == int(capture.value_text(info.id)), (where, name)
                    else:
                        assert value == capture.value_text(info.id), (where, name)
            assert count == len(rows), capture_name


# ---- statistics tables ---------------------------------------------------------

# Captures and an io,stat interval that gives each a few dozen rows at most.
STATISTICS_CAPTURES = {"three_http_streams.pcap": "0.01", "DnsPackets.pcap": "100",
                       "example2.pcap": "10000000", "icmpv6.pcap": "1000000"}
# tshark 4.0 finds an io,stat function's field only when a series' filter
# names it, so the series name their fields.
STATISTICS_REQUESTS = ["conv,tcp", "conv,ip", "endpoints,ip", "endpoints,udp", "io,phs",
                       "io,stat,%s,,udp,SUM(tcp.len)tcp.len,MAX(ip.ttl)ip.ttl"]


def tshark_statistics(path, request):
    output, status = run_tshark(["-n", "-q", "-r", path, "-z", request])
    assert status == 0
    return output.decode()


def tshark_numbers(text):
    """The rows of a tshark table that start after its column headers, as word lists."""
    rows = []
    for line in text.splitlines():
        words = line.replace("|", " ").split()
        if words and not line.startswith(("=", "Filter", "|-", "| Interval", "|   ")) and \
                any(word.isdigit() for word in words):
            rows.append(words)
    return rows


@pytest.fixture(scope="module")
def statistics_tables(tmp_path_factory):
    """The tables of the statistics captures, counted by a fresh process:
    a field of the frame protocol that an earlier test of this module
    registered would put "frame" at the top of the hierarchy (the engine
    then adds the frame item to the tree, as tshark's does when its -e or
    -Y names such a field)."""
    import json
    out = tmp_path_factory.mktemp("statistics") / "tables.pickle"
    run_python("""
        import json, pickle, sys, wsbridge
        engine = wsbridge.start()
        captures, requests = json.loads(sys.argv[1]), json.loads(sys.argv[2])
        tables = {}
        for name, (path, interval) in captures.items():
            with engine.open(path) as capture:
                next(capture)  # tables answer for the whole capture, however far reading came
                mine = requests[:-1] + [requests[-1] % interval]
                tables[name] = dict(
                    texts=capture.statistics(mine, text=True),
                    tcp=capture.conversations("tcp"), ip=capture.conversations("ip"),
                    hosts=capture.endpoints("ip"), ports=capture.endpoints("udp"),
                    hierarchy=capture.protocol_hierarchy(),
                    io=capture.io(float(interval), ["", "udp", "SUM(tcp.len)tcp.len", "MAX(ip.ttl)ip.ttl"]),
                    next=capture.next_packet().frame_number)
        with open(sys.argv[3], "wb") as out:
            pickle.dump(tables, out)
        """, json.dumps({name: (shared_capture(name), interval) for name, interval in STATISTICS_CAPTURES.items()}),
        json.dumps(STATISTICS_REQUESTS), str(out))
    import pickle
    with open(out, "rb") as tables:
        return pickle.load(tables)


@pytest.mark.parametrize("name", sorted(STATISTICS_CAPTURES))
def test_statistics_tables_equal_tshark(statistics_tables, name):
    """The texts are tshark's, and the DataFrames hold its numbers, typed."""
    pytest.importorskip("pandas")
    path = shared_capture(name)
    interval = STATISTICS_CAPTURES[name]
    requests = STATISTICS_REQUESTS[:-1] + [STATISTICS_REQUESTS[-1] % interval]
    got = statistics_tables[name]
    texts, tcp, ip, hosts, ports, hierarchy, io = (got[key] for key in (
        "texts", "tcp", "ip", "hosts", "ports", "hierarchy", "io"))
    assert got["next"] == 2
    for request, text in zip(requests, texts):
        want = tshark_statistics(path, request)
        assert text in want and text.count("\n") >= want.strip().count("\n") - 1, request

    for table, request in ((tcp, "conv,tcp"), (ip, "conv,ip")):
        assert str(table["frames"].dtype) == "int64" and str(table["address_a"].dtype) == "string"
        assert str(table["start_time"].dtype) == "datetime64[ns, UTC]"
        rows = [words for words in tshark_numbers(tshark_statistics(path, request)) if "<->" in words]
        assert len(rows) == len(table)
        for words, row in zip(rows, table.itertuples()):
            a = row.address_a + (":%d" % row.port_a if request == "conv,tcp" else "")
            b = row.address_b + (":%d" % row.port_b if request == "conv,tcp" else "")
            assert words[:3] == [a, "<->", b]
            assert [int(words[i]) for i in (3, 6, 9)] == [row.frames_b_to_a, row.frames_a_to_b, row.frames]
            for i, number in ((4, row.bytes_b_to_a), (7, row.bytes_a_to_b), (10, row.bytes)):
                if words[i + 1] == "bytes":
                    assert int(words[i]) == number
            assert abs(float(words[12]) - row.start) < 1e-6 * max(1, row.start) and \
                abs(float(words[13]) - row.duration) <= 0.00006

    for table, request in ((hosts, "endpoints,ip"), (ports, "endpoints,udp")):
        rows = tshark_numbers(tshark_statistics(path, request))
        numbers = ["frames", "bytes", "tx_frames", "tx_bytes", "rx_frames", "rx_bytes"]
        got = [[row.address] + ([str(row.port)] if request == "endpoints,udp" else [])
               + [str(getattr(row, column)) for column in numbers] for row in table.itertuples()]
        assert got == rows
        assert all(str(table[column].dtype) == "int64" for column in numbers + ["port"])

    phs = [(len(line) - len(line.lstrip(" ")), line.split()) for line in
           tshark_statistics(path, "io,phs").splitlines() if " frames:" in line]
    assert [(depth // 2, words[0], int(words[1][7:]), int(words[2][6:])) for depth, words in phs] == \
        list(zip(hierarchy["depth"], hierarchy["protocol"], hierarchy["frames"], hierarchy["bytes"]))
    assert all(path.split(":")[-1] == protocol for path, protocol in zip(hierarchy["path"], hierarchy["protocol"]))

    rows = [line.replace("|", " ").split() for line in
            tshark_statistics(path, requests[-1]).splitlines() if "<>" in line]
    assert len(io) == 4 * len(rows) and str(io["value"].dtype) == "float64"
    for interval, words in enumerate(rows):
        numbers = words[3:]
        got = io[io["interval"] == interval]
        assert [int(n) for n in numbers[:4]] == [got["frames"].iloc[0], got["bytes"].iloc[0],
                                                 got["frames"].iloc[1], got["bytes"].iloc[1]]
        assert [float(n) for n in numbers[4:]] == list(got["value"].iloc[2:])
