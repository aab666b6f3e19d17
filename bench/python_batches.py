# SPDX-License-Identifier: GPL-2.0-or-later
"""Python reading in batches against its references, on the benchmark capture:

  - Capture.to_dataframe with the summary and four fields, against
    `tshark -T fields` of the same columns read by pandas.read_csv;
  - iterating a capture in Python (Summary objects), against the C walk
    (bench/walk.c) through the same library.

Every way runs once per round (RUNS rounds, default 3), so that a busier
spell of the machine weighs on all alike; each figure is the median wall
time and the median processor time (user + system, the child processes'
included). Prints one line per figure:

  NAME: WALL s wall, CPU s cpu

Usage: python_batches.py BUILD_DIR CAPTURE [TSHARK_OPTION...]
"""

import os
import resource
import statistics
import subprocess
import sys
import time

FIELDS = ["ip.src", "tcp.srcport", "frame.time_relative", "udp.length"]


def cpu_seconds():
    own = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def in_child(code, *arguments):
    """Runs a piece of this file in a fresh interpreter (an engine starts
    once per process) and returns its wall and processor time."""
    start_wall, start_cpu = time.monotonic(), cpu_seconds()
    subprocess.run([sys.executable, __file__, code] + list(arguments), check=True,
                   stdout=subprocess.DEVNULL)
    return time.monotonic() - start_wall, cpu_seconds() - start_cpu


def dataframe(capture):
    import wsbridge
    with wsbridge.start().open(capture) as opened:
        frame = opened.to_dataframe(FIELDS)
    print(len(frame))


def tshark_dataframe(capture, *options):
    import pandas
    command = (["tshark", "-r", capture, "-n"] + list(options) +
               ["-T", "fields", "-E", "separator=/t", "-E", "quote=n", "-E", "occurrence=f"])
    for name in ["frame.number", "frame.len", "frame.cap_len", "frame.time_epoch",
                 "frame.time_relative", "_ws.col.Protocol", "_ws.col.Info", "_ws.col.Source",
                 "_ws.col.Destination"] + FIELDS:
        command += ["-e", name]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    frame = pandas.read_csv(process.stdout, sep="\t", header=None, quoting=3, low_memory=False)
    process.wait()
    print(len(frame))


def iterate(capture):
    import wsbridge
    packets = text = 0
    with wsbridge.start().open(capture) as opened:
        for summary in opened:
            packets += 1
            text += len(summary.protocol_text) + len(summary.info_text)
    print(packets, text)


def main():
    build, capture, options = sys.argv[1], sys.argv[2], sys.argv[3:]
    os.environ["WSBRIDGE_LIBRARY"] = os.path.join(build, "libwsbridge.so")
    here = os.path.dirname(os.path.abspath(__file__))
    os.environ["PYTHONPATH"] = os.path.join(here, "..", "bindings", "python")
    ways = {
        "to_dataframe (summary and 4 fields)": ("dataframe", capture),
        "tshark -T fields | pandas.read_csv": ("tshark_dataframe", capture) + tuple(options),
        "Python iteration": ("iterate", capture),
    }
    walk = os.path.join(build, "wsb_walk")
    figures = {name: [] for name in list(ways) + ["C walk"]}
    for _ in range(int(os.environ.get("RUNS", "3"))):
        for name, arguments in ways.items():
            figures[name].append(in_child(*arguments))
        start_wall, start_cpu = time.monotonic(), cpu_seconds()
        subprocess.run([walk, capture], check=True, stdout=subprocess.DEVNULL)
        figures["C walk"].append((time.monotonic() - start_wall, cpu_seconds() - start_cpu))
    for name, runs in figures.items():
        print("%s: %.2f s wall, %.2f s cpu" % (name, statistics.median(w for w, _ in runs),
                                               statistics.median(c for _, c in runs)))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] in ("dataframe", "tshark_dataframe", "iterate"):
        globals()[sys.argv[1]](*sys.argv[2:])
    else:
        main()
