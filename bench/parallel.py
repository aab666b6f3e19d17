#!/usr/bin/env python3
"""Times wsbridge.map_captures over 80 captures with 1 and 2 worker
processes (and, with --dask, a LocalCluster of 2 process workers), and checks
that every way gives the same results.

Usage: bench/parallel.py [BUILD_DIR]   (default build; RUNS=3 timed runs per
figure, the median is reported). The captures are the shared ones
(tests/captures) plus larger ones made from them with editcap and mergecap
in $BENCH_DIR/parallel (default /tmp/wsbridge-bench/parallel), once.
"""

import collections
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
CAPTURES = os.path.join(SOURCE, "tests", "captures")
COUNT = 80


def digest(capture):
    """The work done per capture: every packet's summary, folded into what
    compares across processes."""
    protocols = collections.Counter()
    count = length = 0
    for summary in capture:
        count += 1
        length += summary.packet_length
        protocols[summary.protocol_text] += 1
    return os.path.basename(capture.path), count, length, sorted(protocols.items())


def measured(capture):
    """digest, with the worker's process id and its processor time so far
    (engine start-up included)."""
    return digest(capture), os.getpid(), time.process_time()


def worker_cpu(results):
    """Processor seconds used by the workers: the last figure of each."""
    last = {}
    for result in results:
        if not isinstance(result, Exception):
            last[result[1]] = max(last.get(result[1], 0.0), result[2])
    return sum(last.values())


def plain(results):
    return [repr(r) if isinstance(r, Exception) else r[0] for r in results]


def make_captures(folder):
    """The shared captures and, up to COUNT, larger ones generated from them."""
    shared = sorted(os.path.join(CAPTURES, name) for name in os.listdir(CAPTURES)
                    if name.endswith((".pcap", ".pcapng", ".cap")))
    os.makedirs(folder, exist_ok=True)
    generated = []
    base = os.path.join(CAPTURES, "example2.pcap")
    for index in range(COUNT - len(shared)):
        path = os.path.join(folder, "generated%02d.pcap" % index)
        generated.append(path)
        if os.path.exists(path):
            continue
        # A copy of example2 moved in time; every third one is followed by
        # a cut of example2 of its own length.
        shifted = path + ".part"
        subprocess.run(["editcap", "-F", "pcap", "-t", str(3600 * (index + 1)), base, shifted],
                       check=True)
        parts = [shifted]
        if index % 3 == 0:
            cut = path + ".cut"
            subprocess.run(["editcap", "-F", "pcap", "-r", base, cut, "1-%d" % (500 * (index + 1))],
                           check=True)
            parts.append(cut)
        subprocess.run(["mergecap", "-F", "pcap", "-a", "-w", path] + parts, check=True)
        for part in parts:
            os.remove(part)
    return shared + generated


def timed(call, runs):
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith("-")
                            else os.path.join(SOURCE, "build"))
    os.environ.setdefault("WSBRIDGE_LIBRARY", os.path.join(build, "libwsbridge.so"))
    sys.path.insert(0, os.path.join(SOURCE, "bindings", "python"))
    import wsbridge

    runs = int(os.environ.get("RUNS", "3"))
    folder = os.path.join(os.environ.get("BENCH_DIR", "/tmp/wsbridge-bench"), "parallel")
    paths = make_captures(folder)
    packets = 0
    figures = {}
    results = {}
    for processes in (1, 2):
        figures[processes], results[processes] = timed(
            lambda: wsbridge.map_captures(measured, paths, processes=processes), runs)
    packets = sum(r[0][1] for r in results[1] if not isinstance(r, Exception))
    failed = sum(1 for r in results[1] if isinstance(r, Exception))
    print("%d captures (%d generated in %s), %d packets, %d refused by the library"
          % (len(paths), COUNT - len([p for p in paths if p.startswith(CAPTURES)]), folder,
             packets, failed))
    for processes in (1, 2):
        print("map_captures, %d process%s: %.2f s (median of %d)"
              % (processes, "" if processes == 1 else "es", figures[processes], runs))
    print("speed-up of 2 processes over 1: %.2fx (cpus: %d, load average now: %.1f)"
          % (figures[1] / figures[2], len(os.sched_getaffinity(0)), os.getloadavg()[0]))
    cpu = {processes: worker_cpu(results[processes]) for processes in (1, 2)}
    print("processor time of the workers (last run): %.2f s with 1 process, %.2f s with 2; "
          "with them alone on 2 cores, 2 processes would take about %.2fx less time than 1"
          % (cpu[1], cpu[2], 2 * cpu[1] / cpu[2]))
    same = plain(results[1]) == plain(results[2])
    if "--dask" in sys.argv:
        import distributed
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            seconds, on_cluster = timed(
                lambda: wsbridge.map_captures(measured, paths, client=client), runs)
        print("dask LocalCluster, 2 process workers: %.2f s (median of %d)" % (seconds, runs))
        same = same and plain(on_cluster) == plain(results[1])
    print("results identical: %s" % ("yes" if same else "NO"))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
