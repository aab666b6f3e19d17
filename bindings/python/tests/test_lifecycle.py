# SPDX-License-Identifier: GPL-2.0-or-later
"""The engine's life cycle as the Pythonic layer presents it. The engine
starts once per process, so every scenario runs in a fresh interpreter."""

from conftest import run_python


def lines_of(code, *arguments, **keywords):
    return run_python(code, *arguments, **keywords).stdout.splitlines()


def test_starting_twice_gives_the_same_engine(sample_capture):
    assert lines_of("""
        import threading, wsbridge
        engine = wsbridge.start()
        print(wsbridge.start() is engine, wsbridge.Engine.start() is engine)
        print(wsbridge.Engine.current() is engine, engine.running)
        """) == ["True True", "True True"]


def test_concurrent_first_starts_make_one_engine():
    assert lines_of("""
        import threading, wsbridge
        engines = []
        threads = [threading.Thread(target=lambda: engines.append(wsbridge.start()))
                   for _ in range(8)]
        for thread in threads: thread.start()
        for thread in threads: thread.join()
        print(len(engines), len({id(engine) for engine in engines}))
        """) == ["8 1"]


def test_the_same_library_by_path_is_accepted_and_another_refused(tmp_path):
    assert lines_of("""
        import os, wsbridge
        engine = wsbridge.start()
        print(wsbridge.start(os.environ["WSBRIDGE_LIBRARY"]) is engine)
        print(wsbridge.start(engine.library) is engine)
        """) == ["True", "True"]


def test_after_shutdown_the_engine_cannot_start_again(sample_capture):
    assert lines_of("""
        import sys, wsbridge
        engine = wsbridge.start()
        capture = engine.open(sys.argv[1])
        next(capture)
        engine.shutdown()
        engine.shutdown()   # a second shutdown does nothing
        print(engine.running, wsbridge.Engine.current())
        for attempt in (wsbridge.start, lambda: engine.open(sys.argv[1]), lambda: next(capture),
                        lambda: engine.field_info("ip.version")):
            try:
                attempt()
                print("no error")
            except wsbridge.WsbridgeError as error:
                print(error.status, error)
        # The library itself refuses as well.
        print(engine.raw.gInitEpan(), engine.library.last_error())
        """, sample_capture) == [
        "False None",
        "1 The engine of this process was shut down; it can be started only once per process.",
        "1 The engine of this process was shut down.",
        "1 The engine of this process was shut down.",
        "1 The engine of this process was shut down.",
        "1 Wireshark engine was already initialized.",
    ]


def test_an_engine_started_through_the_raw_interface_is_not_started_twice():
    assert lines_of("""
        import wsbridge
        library = wsbridge.load_library()
        print(library.raw.gInitEpan())
        try:
            wsbridge.start()
        except wsbridge.WsbridgeError as error:
            print(error.status, error)
        """) == ["0", "1 Wireshark engine was already initialized."]


def test_errors_carry_the_library_message_and_status(tmp_path):
    missing = str(tmp_path / "missing.pcap")
    output = lines_of("""
        import sys, wsbridge
        engine = wsbridge.start()
        try:
            engine.open(sys.argv[1])
        except wsbridge.WsbridgeError as error:
            print(error.status, error.operation)
            print(error.message == str(error) == engine.library.last_error())
            print(error)
        """, missing)
    assert output[:2] == ["1 open", "True"]
    assert missing in output[2]


def test_a_failed_open_keeps_the_capture_that_was_open(sample_capture, tmp_path):
    assert lines_of("""
        import sys, wsbridge
        engine = wsbridge.start()
        capture = engine.open(sys.argv[1])
        try:
            engine.open(sys.argv[2])
        except wsbridge.WsbridgeError:
            pass
        print(capture.closed, sum(1 for _ in capture))
        """, sample_capture, str(tmp_path / "missing.pcap")) == ["False 23"]


def test_opening_another_capture_closes_the_one_before(sample_capture):
    assert lines_of("""
        import sys, wsbridge
        engine = wsbridge.start()
        first = engine.open(sys.argv[1])
        next(first)
        with engine.open(sys.argv[1]) as second:
            print(first.closed, second.closed)
            try:
                next(first)
            except wsbridge.WsbridgeError as error:
                print(error)
            print(next(second).frame_number)
        print(second.closed)
        first.close()   # closing a closed capture does nothing
        try:
            next(second)
        except wsbridge.WsbridgeError as error:
            print(error)
        """, sample_capture) == [
        "True False",
        "The capture \"%s\" is closed." % sample_capture,
        "1",
        "True",
        "The capture \"%s\" is closed." % sample_capture,
    ]


def test_a_forked_copy_of_a_started_engine_refuses_use(sample_capture):
    assert lines_of("""
        import os, sys, wsbridge
        engine = wsbridge.start()
        capture = engine.open(sys.argv[1])
        pid = os.fork()
        if pid == 0:
            for attempt in (lambda: next(capture), wsbridge.start):
                try:
                    attempt()
                    print("no error")
                except wsbridge.WsbridgeError as error:
                    print("forked:", "spawn or forkserver" in str(error))
            sys.stdout.flush()
            os._exit(0)
        os.waitpid(pid, 0)
        print(next(capture).frame_number)
        engine.shutdown()
        capture.close()   # closed by the shutdown: nothing to do
        print(capture.closed)
        """, sample_capture) == ["forked: True", "forked: True", "1", "True"]
