# SPDX-License-Identifier: GPL-2.0-or-later
"""Functions that the parallel tests run in worker processes (they must be
importable there, so they live in a module of their own)."""

import collections


def digest(capture):
    """What a capture holds, in a form that compares across processes."""
    protocols = collections.Counter()
    count = length = 0
    last = None
    for summary in capture:
        count += 1
        length += summary.packet_length
        protocols[summary.protocol_text] += 1
        last = summary
    return count, length, sorted(protocols.items()), last


def first_tree(capture):
    """The tree of the first packet, as text."""
    return capture.tree(next(capture)).format()


def refuse_dns(capture):
    if "dns" in capture.path.lower():
        raise ValueError("no DNS here: %s" % capture.path)
    return sum(1 for _ in capture)


def abort_on_dns(capture):
    """Ends its worker process abruptly on the DNS captures."""
    import os
    if "dns" in capture.path.lower():
        os.abort()
    return sum(1 for _ in capture)


def worker_pid(capture):
    import os
    return os.getpid()


def http_packets(capture):
    """The packets whose Protocol column is HTTP (more with reassembly off)."""
    return sum(1 for summary in capture if summary.protocol_text == "HTTP")


def count(capture):
    return sum(1 for _ in capture)


def busy(capture):
    """Leaves a file named after its process id in the folder WSB_BUSY_DIR
    names, then sleeps long."""
    import os
    import time
    open(os.path.join(os.environ["WSB_BUSY_DIR"], str(os.getpid())), "w").close()
    time.sleep(120)
    return 0
