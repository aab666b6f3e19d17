# SPDX-License-Identifier: GPL-2.0-or-later
"""The hosts' parity table: one row per scenario, run through the command
line, Python (python_host.py) and C# (Wsbridge.Scenarios parity), each host's
answers compared with the others' and with the oracle (test_parity.py).

A row names the scenario, its arguments (capture names are files of the test
captures; "{out}" is a folder for the files a host writes; "{port}" the UDP
port a live row's datagrams go to), the keys of its
answers, the answers fixed in advance (error kinds), the oracle that works out
the others from tshark and capinfos, and how the command line answers (the
keys it has the notion of, or why it has none). Every host answers each key
it has the notion of in the form "key: value": counts, digests of texts and
bytes, "error:KIND" for a refusal."""

import collections

Row = collections.namedtuple("Row", "name args keys fixed oracle cli")

# The exception (Python, C#) or exit status (command line) each host answers
# a kind of refusal with.
ERRORS = {
    "bad-argument": {"python": "ValueError", "dotnet": "ArgumentException"},
    "state": {"python": "StateError", "dotnet": "InvalidOperationException"},
    "stale": {"python": "StaleObjectError", "dotnet": "InvalidOperationException"},
    "closed": {"python": "CaptureClosedError", "dotnet": "ObjectDisposedException"},
    "foreign": {"python": "ForeignObjectError", "dotnet": "ArgumentException"},
    "not-supported": {"python": "NotSupportedError", "dotnet": "NotSupportedException", "cli": "exit 1"},
    "invalid-setting": {"python": "InvalidSettingError", "dotnet": "ArgumentException", "cli": "exit 1"},
}

SAVE_FORMATS = ("pcap", "nsecpcap", "pcapng", "capture")
_NUL = ("preference", "field", "group", "field-lookup", "path", "open-filter", "filter")
_CLOSED = ("read", "iterate", "filter", "tree", "follow", "save", "matched", "node-value", "stream")
_FOREIGN = ("tree", "packet", "follow", "save", "same-file-tree")

ROWS = [
    # A TCP conversation followed from a packet of a filtered reading: the
    # whole conversation, both sides (tshark -z follow,tcp,raw). The command
    # line's follow has no display filter.
    Row("follow-filtered", ["three_http_streams.pcap", "tcp", "tcp.srcport == 44305", "2"],
        ["shown", "follow"], {}, "follow", ["shown", "follow"]),
    # A path, display filter, preference, field or group name with a NUL
    # inside is refused, not read cut short; the filter before stays.
    Row("nul-texts", ["dns_udp.pcap"], list(_NUL) + ["after"],
        dict.fromkeys(_NUL, "error:bad-argument"), "packets", "the command line's arguments cannot carry a NUL"),
    # Two passes one after the other and a pass inside another: every pass
    # gives every packet; the pass overtaken refuses to go on. Two readings
    # of a followed stream at once, side by side and nested.
    Row("passes", ["three_http_streams.pcap", "2"],
        ["first", "second", "any-then-count", "inner", "overtaken", "stream-pairs", "stream-nested"],
        {"overtaken": "error:state"}, "passes", ["first", "second"]),
    # A follow and a tree inside an iteration: the iteration goes on to the
    # end with the same packets.
    Row("inside-iteration", ["three_http_streams.pcap", "5"], ["follow", "tree", "packets"], {},
        "inside", ["follow", "tree", "packets"]),
    # Saving in each format: several link types and packet comments
    # (pcapng only), one link type with comments, a libpcap capture.
    Row("save-formats", ["pcapng-example.pcapng", "all", "{out}", "all"],
        [key for name in SAVE_FORMATS for key in (name, name + "-file")], {}, "save",
        [key for name in SAVE_FORMATS for key in (name, name + "-file")]),
    Row("save-formats", ["pcapng-example.pcapng", "60-70", "{out}", "some"],
        [key for name in SAVE_FORMATS for key in (name, name + "-file")], {}, "save",
        [key for name in SAVE_FORMATS for key in (name, name + "-file")]),
    Row("save-formats", ["dns_udp.pcap", "all", "{out}", "pcap"],
        [key for name in SAVE_FORMATS for key in (name, name + "-file")], {}, "save",
        [key for name in SAVE_FORMATS for key in (name, name + "-file")]),
    # A field registered and never looked up: packets still report it.
    Row("never-looked-up", ["DnsPackets.pcap", "dns.qry.name", "dns"], ["matched"], {}, "matched", ["matched"]),
    # Trees and streams after the next dissection refuse; a summary kept
    # from before still answers for its own packet.
    Row("stale", ["three_http_streams.pcap", "2", "5", "tcp.srcport"],
        ["node-fresh", "node-after-read", "node-after-tree", "stream-after-follow", "stream-after-pass",
         "earlier-value"],
        dict.fromkeys(["node-after-read", "node-after-tree", "stream-after-follow", "stream-after-pass"],
                      "error:stale"), "stale", "the command line keeps no objects between runs"),
    # Everything of a closed capture refuses; closing again does nothing.
    Row("closed", ["three_http_streams.pcap", "2", "{out}"], list(_CLOSED) + ["close-again"],
        dict(dict.fromkeys(_CLOSED, "error:closed"), **{"close-again": "ok"}), None,
        "the command line keeps no objects between runs"),
    # A packet of one capture given to another (also the same file opened
    # again) is refused.
    Row("foreign", ["three_http_streams.pcap", "dns_udp.pcap", "2", "{out}"], list(_FOREIGN),
        dict.fromkeys(_FOREIGN, "error:foreign"), None, "the command line keeps no objects between runs"),
    # Info texts longer than 255 bytes come whole (Python: iteration and
    # DataFrame).
    Row("long-info", ["three_http_streams.pcap"], ["info", "dataframe"], {}, "info", ["info"]),
    # A field's value asked of each packet as the loop hands it out, and the
    # value the reading carries: those of tshark's single pass.
    Row("values-in-loop", ["dns_udp.pcap", "dns.response_in"], ["values", "carried"], {}, "values",
        ["values", "carried"]),
    Row("values-in-loop", ["three_http_streams.pcap", "tcp.completeness"], ["values", "carried"], {},
        "values", ["values", "carried"]),
    # Live capture on the loopback interface (rows named live-*, skipped
    # without capture rights): the driver sends N datagrams of 1 to N bytes
    # to a port it picks once dumpcap is capturing; every host sees each
    # one, in order, and its summaries are tshark -r's of the copy it saved.
    Row("live-udp", ["lo", "udp port {port}", "5", "{out}"], ["packets", "summaries", "saved"], {}, "live",
        ["packets", "summaries"]),
    # A capture filter that does not compile, an interface that does not
    # exist: refused with the message, whatever the host.
    Row("live-errors", ["lo", "nosuch0"], ["bad-filter", "no-interface"],
        dict.fromkeys(["bad-filter", "no-interface"], "error:invalid-setting"), None,
        ["bad-filter", "no-interface"]),
]

# Keys only one host has the notion of.
ONLY = {"dataframe": "python"}
