"""map_captures: the same results from one worker process, two, and a dask
cluster of process workers, in the order of the paths."""

import os

import pytest

import wsbridge
from conftest import shared_capture
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


def test_a_dask_cluster_of_process_workers_gives_the_same_results(paths, expected):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        same(wsbridge.map_captures(parallel_jobs.digest, paths, client=client), expected)
        trees = wsbridge.map_captures(parallel_jobs.first_tree, paths[:2], client=client)
    assert trees == wsbridge.map_captures(parallel_jobs.first_tree, paths[:2], processes=2)
