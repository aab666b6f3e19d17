#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Times reading many captures: a plain loop in one process against
wsbridge.map_captures with 1 and 2 worker processes (and, with --dask, a
LocalCluster of 2 process workers), and checks that every way gives the
same results.

Usage: bench/parallel.py [BUILD_DIR] [--dask]   (default build; RUNS=3 rounds,
each way once per round, the median of each is reported). The captures are the shared ones
(tests/captures) repeated, in order, to COUNT=200 paths. The plain loop runs
in a fresh interpreter and its time includes the interpreter, the import
and the engine's start, as map_captures' time includes its workers'.
"""

import collections
import json
import os
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
CAPTURES = os.path.join(SOURCE, "tests", "captures")
COUNT = int(os.environ.get("COUNT", "200"))


def digest(capture):
    """The work done per capture: every packet's summary, folded into what
    compares across processes."""
    protocols = collections.Counter()
    count = length = 0
    for summary in capture:
        count += 1
        length += summary.packet_length
        protocols[summary.protocol_text] += 1
    return [os.path.basename(capture.path), count, length, sorted(protocols.items())]


def measured(capture):
    """digest, with the worker's process id and the processor time it has
    used so far (its engine's start included)."""
    return digest(capture), os.getpid(), time.process_time()


def worker_seconds(results):
    """Processor seconds of each worker process (the last figure of each)."""
    last = {}
    for result in results:
        if not isinstance(result, Exception):
            last[result[1]] = max(last.get(result[1], 0.0), result[2])
    return sorted(last.values(), reverse=True)


def children_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


# The plain loop, run by a fresh interpreter: it prints its results as JSON.
PLAIN_LOOP = """
import json, sys
sys.path[:0] = sys.argv[1:3]
import parallel, wsbridge
engine = wsbridge.start()
results = []
for path in sys.argv[3:]:
    try:
        with engine.open(path) as capture:
            results.append(parallel.digest(capture))
    except wsbridge.WsbridgeError as error:
        results.append(repr(error))
print(json.dumps(results))
"""


def plain_loop(paths):
    completed = subprocess.run(
        [sys.executable, "-c", PLAIN_LOOP, HERE, os.path.join(SOURCE, "bindings", "python")]
        + paths, stdout=subprocess.PIPE, check=True, universal_newlines=True)
    return json.loads(completed.stdout)


def comparable(results):
    return [repr(result) if isinstance(result, Exception) else
            json.loads(json.dumps(result[0])) for result in results]


def timed_rounds(calls, runs):
    """The median time and the last result of each call, run once per round
    in turn, so that a busier spell of the machine weighs on all alike."""
    times = {name: [] for name in calls}
    results = {}
    for _ in range(runs):
        for name, call in calls.items():
            start = time.perf_counter()
            results[name] = call()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}, results


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("-")
                            else os.path.join(SOURCE, "build"))
    os.environ.setdefault("WSBRIDGE_LIBRARY", os.path.join(build, "libwsbridge.so"))
    sys.path.insert(0, os.path.join(SOURCE, "bindings", "python"))
    import wsbridge

    runs = int(os.environ.get("RUNS", "3"))
    shared = sorted(os.path.join(CAPTURES, name) for name in os.listdir(CAPTURES)
                    if name.endswith((".pcap", ".pcapng", ".cap")))
    paths = [shared[index % len(shared)] for index in range(COUNT)]
    plain_cpu = []

    def plain():
        before = children_seconds()
        result = plain_loop(paths)
        plain_cpu.append(children_seconds() - before)
        return result

    figures, results = timed_rounds({
        "plain": plain,
        1: lambda: wsbridge.map_captures(measured, paths, processes=1),
        2: lambda: wsbridge.map_captures(measured, paths, processes=2)}, runs)
    plain_cpu = plain_cpu[-1]
    packets = sum(result[1] for result in results["plain"] if isinstance(result, list))
    failed = sum(1 for result in results["plain"] if not isinstance(result, list))
    print("%d captures (the %d shared ones repeated), %d packets, %d refused by the library"
          % (len(paths), len(shared), packets, failed))
    print("plain loop in one process: %.2f s (median of %d)" % (figures["plain"], runs))
    for processes in (1, 2):
        print("map_captures, %d process%s: %.2f s (median of %d)"
              % (processes, "" if processes == 1 else "es", figures[processes], runs))
    print("speed-up of 2 processes over the plain loop: %.2fx, over 1 process: %.2fx "
          "(cpus: %d, load average now: %.1f)"
          % (figures["plain"] / figures[2], figures[1] / figures[2],
             len(os.sched_getaffinity(0)), os.getloadavg()[0]))
    workers = worker_seconds(results[2])
    print("processor time (last round): plain loop %.2f s; 1 process %.2f s; 2 processes %s s: "
          "on 2 idle cores they would take about %.2fx less time than the plain loop"
          % (plain_cpu, worker_seconds(results[1])[0],
             " + ".join("%.2f" % seconds for seconds in workers), plain_cpu / workers[0]))
    same = comparable(results[1]) == results["plain"] and \
        comparable(results[2]) == results["plain"]
    if "--dask" in sys.argv:
        import distributed
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            seconds, on_cluster = timed_rounds(
                {"dask": lambda: wsbridge.map_captures(measured, paths, client=client)}, runs)
            seconds, on_cluster = seconds["dask"], on_cluster["dask"]
        print("dask LocalCluster, 2 process workers: %.2f s (median of %d)" % (seconds, runs))
        same = same and comparable(on_cluster) == results["plain"]
    print("results identical: %s" % ("yes" if same else "NO"))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
