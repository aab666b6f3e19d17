# SPDX-License-Identifier: GPL-2.0-or-later
"""Runs every row of the hosts' parity table (scenarios.py) through the
command line, Python and C#, each in processes of their own, and checks that
every host gives each answer it has the notion of, that the hosts' answers
are equal, and that they are the oracle's where there is one (tshark with the
library's preferences, capinfos).

Environment (set by CTest): WSB_CLI (the command), WSB_SCENARIOS (the C#
scenario program, a .dll run by dotnet), WSBRIDGE_LIBRARY and PYTHONPATH
(the Python package), WSB_TEST_CAPTURES, WSB_SOURCE_DIR."""

import hashlib
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

import pytest

from scenarios import ERRORS, ONLY, ROWS, SAVE_FORMATS

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("WSB_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
CAPTURES = os.environ.get("WSB_TEST_CAPTURES", os.path.join(SOURCE, "tests", "captures"))
CLI = os.environ.get("WSB_CLI", "")
SCENARIOS = os.environ.get("WSB_SCENARIOS", "")

ENVIRONMENT = dict(os.environ, LC_ALL="C.UTF-8")


def digest(lines):
    """The first 16 hex digits of the SHA-256 of the lines joined by newlines
    (as the hosts digest theirs)."""
    return hashlib.sha256("\n".join(str(item) for item in lines).encode()).hexdigest()[:16]


def run(command, check=True):
    result = subprocess.run(command, capture_output=True, env=ENVIRONMENT, timeout=300)
    if check and result.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s%s" % (" ".join(command), result.returncode,
                                                       result.stdout.decode(errors="replace"),
                                                       result.stderr.decode(errors="replace")))
    return result


def answers(text):
    """The "key: value" lines of a host's output as a dict."""
    found = {}
    for line in text.splitlines():
        key, separator, value = line.partition(": ")
        assert separator and key not in found, "not an answer line: %r" % (line,)
        found[key] = value
    return found


# ---- the oracle ------------------------------------------------------------

def _preferences():
    with open(os.path.join(SOURCE, "lib", "engine", "preference_overrides.txt")) as overrides:
        names = [line.strip() for line in overrides]
    return [item for name in names if re.fullmatch(r"[a-z0-9_]+\.[a-z0-9_]+:FALSE", name)
            for item in ("-o", name)]


def tshark(*arguments):
    return run(["tshark", "-n"] + _preferences() + list(arguments)).stdout.decode()


def tshark_fields(path, *fields, filter=None):
    """tshark -T fields lines of the capture (single pass), one list a packet."""
    arguments = ["-r", path, "-T", "fields", "-E", "occurrence=f"]
    for field in fields:
        arguments += ["-e", field]
    if filter:
        arguments += ["-Y", filter]
    return [line.split("\t") for line in tshark(*arguments).splitlines()]


def follow_answer(chunks):
    """A follow's answer from its chunks [(side "c"/"s", bytes)]."""
    sizes = {side: sum(len(data) for sender, data in chunks if sender == side) for side in "cs"}
    return "client %d server %d chunks %d %s" % (sizes["c"], sizes["s"], len(chunks),
                                                digest("%s:%s" % (side, data.hex()) for side, data in chunks))


def raw_chunks(lines):
    """Chunks of a raw rendering: hex lines, the server's after a tab."""
    return [("s", bytes.fromhex(line[1:])) if line.startswith("\t") else ("c", bytes.fromhex(line))
            for line in lines if line.strip()]


def tshark_follow(path, frame):
    stream = tshark_fields(path, "tcp.stream", filter="frame.number == %s" % frame)[0][0]
    lines = tshark("-r", path, "-q", "-z", "follow,tcp,raw," + stream).splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("Node 1:")) + 1
    end = next(i for i in range(start, len(lines)) if lines[i].startswith("====="))
    return raw_chunks(lines[start:end])


def save_content(path, frames=None):
    """What a saved file must hold: each packet's time, lengths, link type,
    comment and protocols, digested."""
    rows = tshark_fields(path, "frame.number", "frame.time_epoch", "frame.len", "frame.cap_len",
                         "frame.encap_type", "frame.comment", "frame.protocols")
    if frames:
        rows = [row for row in rows if frames[0] <= int(row[0]) <= frames[1]]
    return digest("\t".join(row[1:]) for row in rows)


FILE_TYPES = {"Wireshark/tcpdump/... - pcap": "pcap", "Wireshark/tcpdump/... - nanosecond pcap": "nsecpcap",
              "Wireshark/... - pcapng": "pcapng"}


def file_type(path):
    text = run(["capinfos", "-t", path]).stdout.decode()
    return FILE_TYPES[re.search(r"^File type:\s*(.*?)\s*$", text, re.M).group(1)]


def oracle(row, path):
    """The answers the engine's own programs give for a row."""
    args = row.args
    count = len(tshark_fields(path, "frame.number"))
    if row.oracle == "follow":
        return {"shown": str(len(tshark_fields(path, "frame.number", filter=args[2]))),
                "follow": follow_answer(tshark_follow(path, args[3]))}
    if row.oracle == "packets":
        return {"after": str(count)}
    if row.oracle == "passes":
        chunks = len(tshark_follow(path, args[1]))
        return {"first": str(count), "second": str(count), "any-then-count": "True %d" % count,
                "inner": str(count), "stream-pairs": "%d %d" % (chunks, chunks),
                "stream-nested": str(chunks * chunks)}
    if row.oracle == "inside":
        return {"follow": follow_answer(tshark_follow(path, args[1])),
                "packets": "%d %s" % (count, digest(range(1, count + 1)))}
    if row.oracle == "save":
        frames = None if args[1] == "all" else [int(number) for number in args[1].split("-")]
        content = save_content(path, frames)
        written = count if frames is None else frames[1] - frames[0] + 1
        encapsulations = {line[1] for line in tshark_fields(path, "frame.number", "frame.encap_type")
                          if frames is None or frames[0] <= int(line[0]) <= frames[1]}
        comments = any(line[1] for line in tshark_fields(path, "frame.number", "frame.comment")
                       if frames is None or frames[0] <= int(line[0]) <= frames[1])
        expected = {}
        for name in SAVE_FORMATS:
            kind = file_type(path) if name == "capture" else name
            if kind != "pcapng" and (len(encapsulations) > 1 or comments):
                expected[name] = "error:not-supported"
            else:
                expected[name] = "written:%d type:%s content:%s" % (written, kind, content)
        return expected
    if row.oracle == "matched":
        return {"matched": str(len(tshark_fields(path, "frame.number", filter=args[1])))}
    if row.oracle == "stale":
        frames = {int(line[0]): line for line in tshark_fields(path, "frame.number", "frame.len", args[3])}
        return {"node-fresh": frames[1][1], "earlier-value": frames[int(args[1])][2]}
    if row.oracle == "info":
        infos = [line[0] for line in tshark_fields(path, "_ws.col.Info")]
        answer = "%d long %d %s" % (len(infos), sum(len(info.encode()) > 255 for info in infos), digest(infos))
        return {"info": answer, "dataframe": answer}
    if row.oracle == "values":
        values = digest("\t".join(line) for line in tshark_fields(path, "frame.number", args[1]))
        return {"values": values, "carried": values}
    assert row.oracle is None, row.oracle
    return {}


# ---- the command line -------------------------------------------------------

def cli(*arguments, check=True):
    return run([CLI] + list(arguments), check)


def cli_follow(path, frame):
    lines = cli("follow", "tcp", path, frame, "--format", "raw").stdout.decode().splitlines()
    return follow_answer(raw_chunks(lines[3:]))


def cli_summaries(path, *options):
    return [json.loads(line) for line in cli("summary", path, "--json", *options).stdout.decode().splitlines()]


def cli_tree(path, frame):
    def walk(nodes, depth):
        for node in nodes:
            yield "%d|%s|%d|%d" % (depth, node["label"], node["start"], node["length"])
            yield from walk(node.get("children", ()), depth + 1)

    lines = list(walk(json.loads(cli("tree", path, frame, "--json").stdout)["nodes"], 0))
    return "%d %s" % (len(lines), digest(lines))


def cli_answers(row, path, folder):
    """The command line's answers to a row (the keys it has the notion of)."""
    args = row.args
    if row.name == "follow-filtered":
        return {"shown": str(len(cli_summaries(path, "-Y", args[2]))), "follow": cli_follow(path, args[3])}
    if row.name == "passes":
        return {"first": str(len(cli_summaries(path))), "second": str(len(cli_summaries(path)))}
    if row.name == "inside-iteration":
        frames = [summary["frame_number"] for summary in cli_summaries(path)]
        return {"follow": cli_follow(path, args[1]), "tree": cli_tree(path, args[1]),
                "packets": "%d %s" % (len(frames), digest(frames))}
    if row.name == "save-formats":
        found = {}
        for name in SAVE_FORMATS:
            out = os.path.join(folder, "%s-%s.out" % (args[3], name))
            result = cli("save", path, out, args[1], *(() if name == "capture" else ("-F", name)), check=False)
            match = re.match(r"(\d+) written", result.stdout.decode())
            found[name] = "written:%s" % match.group(1) if result.returncode == 0 and match \
                else "error:exit %d" % result.returncode
        return found
    if row.name == "never-looked-up":
        lines = cli("fields", path, "-e", args[1]).stdout.decode().splitlines()
        return {"matched": str(sum(1 for line in lines if line.split("\t")[1]))}
    if row.name == "long-info":
        infos = [summary["info_text"] for summary in cli_summaries(path)]
        return {"info": "%d long %d %s" % (len(infos), sum(len(info.encode()) > 255 for info in infos),
                                           digest(infos))}
    if row.name == "values-in-loop":
        lines = cli("fields", path, "-e", args[1]).stdout.decode().splitlines()
        objects = [json.loads(line) for line in cli("fields", path, "-e", args[1], "--json").stdout.splitlines()]
        carried = ["%d\t%s" % (item["frame_number"], "" if item[args[1]] is None else item[args[1]])
                   for item in objects]
        return {"values": digest(lines), "carried": digest(carried)}
    raise AssertionError("no command-line answers for %s" % row.name)


# ---- live rows ----------------------------------------------------------------

def can_capture():
    return os.geteuid() == 0 and shutil.which("dumpcap") is not None


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def dumpcaps_under(folder):
    """The dumpcap processes whose spool lies under folder."""
    found = subprocess.run(["pgrep", "-af", "dumpcap .*%s" % folder], capture_output=True, text=True).stdout
    return [line for line in found.splitlines() if "pgrep" not in line]


def run_live(command, folder, port, source_port, count):
    """Runs a host of a live row with its spool in folder: once dumpcap
    captures (its spool folder has a file), count datagrams of 1 to count
    bytes go from source_port to port on 127.0.0.1. The host's output."""
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=dict(ENVIRONMENT, TMPDIR=str(folder)))
    try:
        deadline = time.monotonic() + 20
        while not any(entry.name.startswith("wsbridge-live-") and any(entry.iterdir())
                      for entry in folder.iterdir() if entry.is_dir()):
            assert child.poll() is None and time.monotonic() < deadline, \
                "%s does not capture:\n%s" % (" ".join(command), child.stderr.read().decode(errors="replace"))
            time.sleep(0.02)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            sender.bind(("127.0.0.1", source_port))
            for size in range(1, count + 1):
                sender.sendto(b"x" * size, ("127.0.0.1", port))
        out, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0, "%s failed (%d):\n%s" % (" ".join(command), child.returncode, err.decode())
    assert not dumpcaps_under(folder), "%s left dumpcap running" % command[0]
    assert not [entry for entry in folder.iterdir() if entry.name.startswith("wsbridge-live-")], \
        "%s left its spool" % command[0]
    return out.decode()


LIVE_FIELDS = ("frame.number", "_ws.col.Protocol", "_ws.col.Info", "ip.src", "ip.dst", "udp.srcport",
               "udp.dstport", "frame.len")


def live_summary_line(item):
    return "%d|%s|%s|%s|%s|%d|%d|%d" % tuple(item[name] for name in (
        "frame_number", "protocol_text", "info_text", "source_text", "destination_text", "source_port",
        "destination_port", "packet_length"))


def cli_live_answers(row, folder, port, source_port):
    """The command line's answers to a live row."""
    if row.name == "live-errors":
        found = {}
        for key, arguments in (("bad-filter", ["-i", row.args[0], "-f", "udp port ((("]),
                               ("no-interface", ["-i", row.args[1]])):
            result = cli("summary", *arguments, "-c", "1", check=False)
            found[key] = "ok" if result.returncode == 0 else "error:exit %d" % result.returncode
        return found
    interface, bpf, count = row.args[0], row.args[1].replace("{port}", str(port)), row.args[2]
    out = run_live([CLI, "summary", "-i", interface, "-f", bpf, "-c", count, "--json"], folder, port,
                   source_port, int(count))
    items = [json.loads(text) for text in out.splitlines()]
    return {"packets": "%d %s" % (len(items), " ".join(item["info_text"].split()[-1] for item in items)),
            "summaries": digest(live_summary_line(item) for item in items)}


def live_saved(path):
    """The summary lines tshark reads from a saved live capture, digested."""
    return digest("|".join(line) for line in tshark_fields(path, *LIVE_FIELDS))


# ---- the table --------------------------------------------------------------

def host_arguments(row, folder):
    return [os.path.join(CAPTURES, arg) if arg.endswith((".pcap", ".pcapng")) else
            arg.replace("{out}", folder) for arg in row.args]


def normalised(host, value, expected):
    """A host's "error:TYPE" as the kind the table expects, when TYPE is the
    host's answer for that kind."""
    if value.startswith("error:") and expected and expected.startswith("error:"):
        if ERRORS.get(expected[6:], {}).get(host) == value[6:]:
            return expected
    return value


@pytest.mark.parametrize("row", ROWS, ids=["%s-%s" % (row.name, "-".join(row.args[:2])) for row in ROWS])
def test_row(row, tmp_path):
    if not CLI or not SCENARIOS:
        pytest.skip("WSB_CLI and WSB_SCENARIOS name the command and the C# scenario program")
    live = row.name.startswith("live-")
    if live and not can_capture():
        pytest.skip("needs capture rights on lo (root, with dumpcap installed), as in CI")
    path = os.path.join(CAPTURES, row.args[0])
    folders = {host: tmp_path / host for host in ("cli", "python", "dotnet")}
    for folder in folders.values():
        folder.mkdir()
    hosts = {
        "python": [sys.executable, os.path.join(HERE, "python_host.py"), row.name],
        "dotnet": ["dotnet", SCENARIOS, "parity", row.name],
    }
    # The datagrams of a live row go from one port to another, the same for
    # every host, so that their Info texts are equal.
    port, source_port = free_udp_port(), free_udp_port()
    got = {}
    for host, command in hosts.items():
        arguments = [arg.replace("{port}", str(port)) for arg in host_arguments(row, str(folders[host]))]
        if row.oracle == "live":
            output = run_live(command + arguments, folders[host], port, source_port, int(row.args[2]))
        else:
            output = run(command + arguments).stdout.decode()
        got[host] = answers(output)
    if isinstance(row.cli, list):
        got["cli"] = cli_live_answers(row, folders["cli"], port, source_port) if live \
            else cli_answers(row, path, str(folders["cli"]))
    if row.name == "save-formats":
        # A saved file's format and content, and its bytes to compare across hosts.
        for host, found in got.items():
            for name in SAVE_FORMATS:
                saved = folders[host] / ("%s-%s.out" % (row.args[3], name))
                if found.get(name, "").startswith("written:"):
                    found[name] += " type:%s content:%s" % (file_type(str(saved)), save_content(str(saved)))
                    found[name + "-file"] = hashlib.sha256(saved.read_bytes()).hexdigest()[:16]
                else:
                    assert not saved.exists(), "%s left %s after a failed save" % (host, saved)
                    found[name + "-file"] = "none"
    if row.oracle == "live":
        # Each saved copy as tshark reads it: the summaries every host gave.
        for host in hosts:
            got[host]["saved"] += " content:" + live_saved(str(folders[host] / "live.pcapng"))
        count = int(row.args[2])
        saved = live_saved(str(folders["python"] / "live.pcapng"))
        expected = {"packets": "%d %s" % (count, " ".join("Len=%d" % size for size in range(1, count + 1))),
                    "summaries": saved, "saved": "written:%d content:%s" % (count, saved)}
    else:
        expected = dict(oracle(row, path) if not live else {}, **row.fixed)

    failures = []
    for host, found in got.items():
        keys = row.cli if host == "cli" else [key for key in row.keys if ONLY.get(key, host) == host]
        missing = [key for key in keys if key not in found]
        extra = [key for key in found if key not in keys]
        if missing or extra:
            failures.append("%s: missing %s, unexpected %s" % (host, missing, extra))
        for key in found:
            found[key] = normalised(host, found[key], expected.get(key))
    for key in row.keys:
        values = {host: found[key] for host, found in got.items() if key in found}
        if key in expected:
            values["oracle"] = expected[key]
        if len(set(values.values())) > 1:
            failures.append("%s: %s" % (key, "  ".join("%s=%r" % item for item in values.items())))
    assert not failures, "the hosts differ:\n" + "\n".join(failures)
