# SPDX-License-Identifier: GPL-2.0-or-later
"""map_captures: the same results from one worker process, two, and a dask
cluster of process workers, in the order of the paths."""

import os

import pytest

import wsbridge
from conftest import run_python, shared_capture
import parallel_jobs

NAMES = ["dns_udp.pcap", "one_tcp_stream.pcap", "icmpv6.pcap", "whois.pcap",
         "OSPFv2_Capture_FINAL.pcapng", "DnsPackets.pcap", "ipv4_tcp_http_xml.pcap"]


@pytest.fixture(scope="module")
def paths(tmp_path_factory):
    missing = str(tmp_path_factory.mktemp("parallel") / "missing.pcap")
    return [shared_capture(name) for name in NAMES[:3]] + [missing] + \
        [shared_capture(name) for name in NAMES[3:]]


@pytest.fixture(scope="module")
def expected(paths):
    """Read here, one capture after the other, with this process's engine."""
    engine = wsbridge.start()
    results = []
    for path in paths:
        try:
            with engine.open(path) as capture:
                results.append(parallel_jobs.digest(capture))
        except wsbridge.WsbridgeError as error:
            results.append(error)
    return results


def same(results, expected):
    assert len(results) == len(expected)
    for got, want in zip(results, expected):
        if isinstance(want, Exception):
            assert type(got) is type(want) and str(got) == str(want)
        else:
            assert got == want


@pytest.mark.parametrize("processes", [1, 2])
def test_worker_processes_give_the_results_in_order(paths, expected, processes):
    results = wsbridge.map_captures(parallel_jobs.digest, paths, processes=processes,
                                    captures_per_process=2)
    same(results, expected)
    assert isinstance(results[3], wsbridge.WsbridgeError) and results[3].status == 1


def test_a_failing_function_is_that_capture_s_result(paths):
    results = wsbridge.map_captures(parallel_jobs.refuse_dns, paths, processes=2)
    for path, result in zip(paths, results):
        if not os.path.exists(path):
            assert isinstance(result, wsbridge.WsbridgeError)
        elif "dns" in path.lower():
            assert isinstance(result, ValueError) and str(result) == "no DNS here: %s" % path
            assert any("refuse_dns" in note for note in getattr(result, "__notes__", []))
        else:
            assert isinstance(result, int) and result > 0


def test_a_worker_that_dies_gives_an_error_and_the_others_go_on(paths):
    results = wsbridge.map_captures(parallel_jobs.abort_on_dns, paths, processes=2)
    for path, result in zip(paths, results):
        if "dns" in path.lower():
            assert isinstance(result, wsbridge.WsbridgeError)
            assert "ended before it returned a result" in str(result)
        elif os.path.exists(path):
            assert isinstance(result, int) and result > 0


def test_packets_from_a_worker_belong_to_no_capture_here(paths, expected):
    last = wsbridge.map_captures(parallel_jobs.digest, paths[:1], processes=1)[0][3]
    assert last == expected[0][3]
    with wsbridge.start().open(paths[0]) as capture:
        with pytest.raises(wsbridge.ForeignObjectError) as error:
            capture.tree(last)
        assert "another process" in str(error.value)




# ---- functions that cannot reach the workers, scripts without the guard ------

def test_a_function_that_does_not_pickle_is_refused_at_once(paths):
    import time

    def nested(capture):
        return 0

    for function in (lambda capture: 0, nested):
        started = time.monotonic()
        with pytest.raises(TypeError) as error:
            wsbridge.map_captures(function, paths, processes=2)
        assert time.monotonic() - started < 10
        assert "top level of a module" in str(error.value)


def run_script(tmp_path, text, *arguments):
    import subprocess
    import sys
    from conftest import PACKAGE_DIR
    script = tmp_path / "script.py"
    script.write_text(text)
    env = dict(os.environ, PYTHONPATH=PACKAGE_DIR + os.pathsep + os.path.dirname(__file__))
    return subprocess.run([sys.executable, str(script)] + list(arguments), env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=120)


def test_a_function_under_the_main_guard_fails_per_capture_without_hanging(tmp_path, paths):
    completed = run_script(tmp_path, """
import sys, wsbridge
if __name__ == "__main__":
    def guarded(capture):
        return 1
    for result in wsbridge.map_captures(guarded, sys.argv[1:], processes=2):
        print(type(result).__name__, result)
""", *paths[:3])
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    assert len(lines) == 3 and all(line.startswith("TypeError") for line in lines)
    assert "could not load the function" in lines[0]


def test_a_script_without_the_main_guard_gets_one_clear_error(tmp_path, paths):
    completed = run_script(tmp_path, """
import sys, wsbridge, parallel_jobs
print(wsbridge.map_captures(parallel_jobs.count, sys.argv[1:], processes=2))
""", *paths[:3])
    assert completed.returncode != 0
    assert completed.stderr.count("Traceback") == 1, completed.stderr
    assert "RuntimeError" in completed.stderr and "__name__" in completed.stderr


def test_sigint_to_the_parent_alone_ends_the_map_at_once(tmp_path, paths):
    """Ctrl-C sent to the calling process only (not to its process group)
    raises KeyboardInterrupt there within a second or so, and no worker
    process is left reading."""
    import signal
    import subprocess
    import sys
    import time
    from conftest import PACKAGE_DIR
    busy = tmp_path / "busy"
    busy.mkdir()
    script = tmp_path / "script.py"
    script.write_text("""
import sys, wsbridge, parallel_jobs
if __name__ == "__main__":
    try:
        wsbridge.map_captures(parallel_jobs.busy, sys.argv[1:], processes=2)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
""")
    env = dict(os.environ, PYTHONPATH=PACKAGE_DIR + os.pathsep + os.path.dirname(__file__),
               WSB_BUSY_DIR=str(busy))
    readable = [path for path in paths if os.path.exists(path)]
    parent = subprocess.Popen([sys.executable, str(script)] + readable, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while len(os.listdir(busy)) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        workers = [int(name) for name in os.listdir(busy)]
        assert len(workers) == 2, "the workers did not start"
        os.kill(parent.pid, signal.SIGINT)
        sent = time.monotonic()
        out, err = parent.communicate(timeout=60)
        elapsed = time.monotonic() - sent
    finally:
        if parent.poll() is None:
            parent.kill()
            parent.communicate()
    assert out == "interrupted\n", err
    assert elapsed < 3, elapsed

    def running(pid):
        try:
            with open("/proc/%d/stat" % pid) as stat:
                return stat.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
        except FileNotFoundError:
            return False

    deadline = time.monotonic() + 5
    while any(map(running, workers)) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not any(map(running, workers)), workers


# ---- preferences, filters, reuse of the workers --------------------------------

REASSEMBLY = [line.strip().replace(":FALSE", ":TRUE") for line in open(os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))),
    "lib", "engine", "preference_overrides.txt")) if line.strip() and not line.startswith("#")]
HTTP_NAMES = ["example2.pcap", "one_tcp_stream.pcap", "three_http_streams.pcap"]


def plain_tshark_http_packets(path):
    import subprocess
    output = subprocess.run(["tshark", "-r", path, "-T", "fields", "-e", "_ws.col.Protocol"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout
    return sum(1 for line in output.split(b"\n") if line == b"HTTP")


@pytest.fixture(scope="module")
def http_paths():
    return [shared_capture(name) for name in HTTP_NAMES]


@pytest.fixture(scope="module")
def plain_http(http_paths):
    return [plain_tshark_http_packets(path) for path in http_paths]


def test_preferences_and_filters_reach_every_worker(tmp_path, http_paths, plain_http):
    from conftest import run_tshark
    off = wsbridge.map_captures(parallel_jobs.http_packets, http_paths, processes=2)
    assert off != plain_http  # reassembly is off by default: the test means something
    assert wsbridge.map_captures(parallel_jobs.http_packets, http_paths, processes=2,
                                 preferences=REASSEMBLY) == plain_http
    dns = [len(run_tshark(["-r", path, "-Y", "dns"])[0].splitlines()) for path in http_paths]
    assert wsbridge.map_captures(parallel_jobs.count, http_paths, processes=2,
                                 filter="dns") == dns
    # The preferences of the calling process's engine go to the workers too.
    completed = run_script(tmp_path, """
import sys, wsbridge, parallel_jobs
if __name__ == "__main__":
    engine = wsbridge.start()
    for assignment in sys.argv[2:]:
        engine.set_preference(assignment)
    paths = sys.argv[1].split(",")
    with engine.open(paths[0]) as capture:
        here = parallel_jobs.http_packets(capture)
    print(here, wsbridge.map_captures(parallel_jobs.http_packets, paths, processes=2))
""", ",".join(http_paths), *REASSEMBLY)
    assert completed.stdout.split(None, 1) == [str(plain_http[0]), str(plain_http) + "\n"], \
        completed.stderr


def test_workers_are_reused_until_their_memory_passes_the_limit(paths):
    many = [path for path in paths if os.path.exists(path)] * 5
    pids = wsbridge.map_captures(parallel_jobs.worker_pid, many, processes=2)
    assert len(many) > 20 and len(set(pids)) <= 2
    pids = wsbridge.map_captures(parallel_jobs.worker_pid, many[:6], processes=2, memory_limit=1)
    assert len(set(pids)) == 6


def nanoseconds(text):
    """Nanoseconds of a count of seconds as tshark writes it ("-1.500000000")."""
    sign = -1 if text.startswith("-") else 1
    whole, _, fraction = text.lstrip("-").partition(".")
    return sign * (int(whole) * 10 ** 9 + int((fraction + "000000000")[:9]))


def test_shares_with_a_filter_count_from_the_packet_shown_before():
    """With a display filter, the time since the previous shown packet of a
    frame read in shares is that of one process (and tshark's), whichever
    share the packet shown before was in; dask partitions of shares refuse it."""
    pandas = pytest.importorskip("pandas")
    from conftest import run_tshark
    path = shared_capture("example2.pcap")
    shown = "tcp.len > 0"
    fields = ["frame.time_delta_displayed", "ip.src", "frame.time_delta"]
    output, status = run_tshark(["-r", path, "-Y", shown, "-T", "fields",
                                 "-e", "frame.time_delta_displayed"])
    assert status == 0
    engine = wsbridge.start()
    with engine.open(path) as capture:
        for occurrence in ("first", "all"):
            whole = capture.to_dataframe(fields, filter=shown, occurrence=occurrence)
            shared = capture.to_dataframe(fields, filter=shown, occurrence=occurrence, jobs=2)
            pandas.testing.assert_frame_equal(shared, whole)
        deltas = [pandas.Timedelta(nanoseconds(text), unit="ns") for text in output.decode().split()]
        assert len(deltas) > 2000 and list(shared["frame.time_delta_displayed"]) == \
            [[delta] for delta in deltas]
    pytest.importorskip("dask.dataframe")
    with pytest.raises(ValueError) as error:
        wsbridge.to_dask_dataframe([path], fields=fields, filter=shown, shards_per_capture=2)
    assert "frame.time_delta_displayed counts from the packet shown before" in str(error.value)


STATISTICS = ["conv,tcp", "endpoints,ip", "io,phs", "io,stat,60,,dns,MAX(udp.length)udp.length"]


def test_statistics_of_two_shares_equal_one_process():
    """jobs=2: each process counts a share, the library adds them up here
    (in a fresh process: a frame field registered by an earlier test would
    give this process's hierarchy a "frame" row that the workers' lack)."""
    pytest.importorskip("pandas")
    completed = run_python("""
        import sys, pandas, wsbridge
        requests = sys.argv[2:]
        if __name__ == "__main__":
            engine = wsbridge.start()
            with engine.open(sys.argv[1]) as capture:
                whole = capture.statistics(requests)
                shared = capture.statistics(requests, jobs=2)
                assert capture.statistics(requests, text=True) == capture.statistics(requests, jobs=2, text=True)
            for got, want in zip(shared, whole):
                pandas.testing.assert_frame_equal(got, want)
            print(len(whole[1]), whole[2]["frames"].iloc[0])
        """, shared_capture("DnsPackets.pcap"), *STATISTICS)
    assert completed.stdout.split() == ["5", "464"]


# ---- a dask cluster of process workers (the tests run in this order) ---------

@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    import dask
    # A capture that kills its worker twice gives KilledWorker.
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client


def test_a_dask_cluster_of_process_workers_gives_the_same_results(client, paths, expected):
    same(wsbridge.map_captures(parallel_jobs.digest, paths, client=client), expected)
    trees = wsbridge.map_captures(parallel_jobs.first_tree, paths[:2], client=client)
    assert trees == wsbridge.map_captures(parallel_jobs.first_tree, paths[:2], processes=2)


def test_a_dask_dataframe_has_a_partition_per_capture(client, paths):
    pandas = pytest.importorskip("pandas")
    readable = [path for path in paths if os.path.exists(path)]
    fields = ["ip.ttl", "dns.qry.name", "frame.time_delta", "tcp.flags.syn"]
    frame = wsbridge.to_dask_dataframe(readable, fields=fields, filter="tcp || dns")
    assert frame.npartitions == len(readable)
    engine = wsbridge.start()
    parts = []
    for path in readable:
        with engine.open(path) as capture:
            parts.append(capture.to_dataframe(fields, filter="tcp || dns"))
    pandas.testing.assert_frame_equal(frame.compute(), pandas.concat(parts))


def test_shares_of_one_capture_give_its_frame(client, paths):
    """Read in shares of its conversations, by 2 processes or as 3 dask
    partitions, a capture gives the rows one process gives."""
    pandas = pytest.importorskip("pandas")
    path = shared_capture("DnsPackets.pcap")
    fields = ["ip.src", "dns.qry.name", "frame.time_delta", "udp.length"]
    engine = wsbridge.start()
    with engine.open(path) as capture:
        whole = capture.to_dataframe(fields)
        pandas.testing.assert_frame_equal(capture.to_dataframe(fields, jobs=2), whole)
    frame = wsbridge.to_dask_dataframe([path], fields=fields, shards_per_capture=3)
    assert frame.npartitions == 3
    parts = frame.compute().sort_values("frame_number").reset_index(drop=True)
    pandas.testing.assert_frame_equal(parts, whole)
    with pytest.raises(ValueError):
        wsbridge.to_dask_dataframe([path], shards_per_capture=0)


def test_dask_statistics_per_capture_equal_one_process(client):
    """A partition per capture (or per capture from 2 shares each) gives the
    table each capture gives in one process."""
    pandas = pytest.importorskip("pandas")
    paths = [shared_capture(name) for name in ("DnsPackets.pcap", "three_http_streams.pcap")]
    engine = wsbridge.start()
    for request in ("endpoints,ip", "io,stat,60,dns"):
        parts = []
        for path in paths:
            with engine.open(path) as capture:
                part = capture.statistics(request)
            part.insert(0, "capture", pandas.array([path] * len(part), dtype="string"))
            parts.append(part)
        want = pandas.concat(parts, ignore_index=True)
        for shards in (1, 2):
            frame = wsbridge.to_dask_statistics(paths, request, shards_per_capture=shards)
            assert frame.npartitions == 2
            pandas.testing.assert_frame_equal(frame.compute().reset_index(drop=True), want)


def test_a_capture_that_kills_its_dask_worker_leaves_the_others_whole(client, paths):
    from distributed import KilledWorker
    results = wsbridge.map_captures(parallel_jobs.abort_on_dns, paths, client=client)
    for path, result in zip(paths, results):
        if "dns" in path.lower():
            assert isinstance(result, KilledWorker)
        elif os.path.exists(path):
            assert isinstance(result, int) and result > 0, (path, result)


def test_preferences_reach_every_dask_worker(client, http_paths, plain_http):
    assert wsbridge.map_captures(parallel_jobs.http_packets, http_paths, client=client,
                                 preferences=REASSEMBLY) == plain_http
    # A worker's engine cannot take them back: a task that meets such a
    # worker is refused; one the scheduler gives a worker that took no task
    # above reads without them. None reads with them silently.
    off = wsbridge.map_captures(parallel_jobs.http_packets, http_paths, processes=1)
    assert off != plain_http
    results = wsbridge.map_captures(parallel_jobs.http_packets, http_paths, client=client)
    for result, without in zip(results, off):
        if isinstance(result, wsbridge.InvalidSettingError):
            assert "cannot take a preference back" in str(result)
        else:
            assert result == without
