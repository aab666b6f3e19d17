# SPDX-License-Identifier: GPL-2.0-or-later
"""What the package's worker processes share: one capture at a time per
process, and the refusal of a script that would start them from its main
module's top level (the workers import the main module again)."""

import ast
import os
import sys
import threading

__all__ = ["GUARD_MESSAGE", "one_capture", "refuse_unguarded_main", "usable_jobs"]

# One capture at a time per process, also when a dask worker runs several
# tasks in threads.
one_capture = threading.Lock()

GUARD_MESSAGE = (
    "map_captures was called while the main module (%s) runs at its top level, outside "
    "`if __name__ == \"__main__\":`. Worker processes import the main module again, and "
    "would call map_captures again themselves: put the script's work under "
    "`if __name__ == \"__main__\":` (its functions stay above it, at the top level).")


def usable_jobs(jobs):
    """The reading shares of jobs=N, as the command line's --jobs counts
    them: at most the cores this process may run on (WSB_JOBS_CPUS, when a
    positive number, sets it), since more processes than cores only take
    turns on them, each reading every record."""
    try:
        cores = int(os.environ.get("WSB_JOBS_CPUS", ""))
    except ValueError:
        cores = 0
    if cores <= 0:
        try:
            cores = len(os.sched_getaffinity(0))
        except (AttributeError, OSError):
            cores = os.cpu_count() or 1
    return max(1, min(jobs, cores))


def refuse_unguarded_main():
    """RuntimeError when map_captures runs as part of the main module's top
    level outside an `if __name__ == "__main__":` block: the workers, which
    import the main module again, would run it again."""
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if not path:
        return
    frame = sys._getframe(1)
    while frame is not None:
        if frame.f_globals is main.__dict__ and frame.f_code.co_name == "<module>":
            break
        frame = frame.f_back
    if frame is None:
        return
    try:
        with open(path, "rb") as source:
            tree = ast.parse(source.read(), path)
    except (OSError, SyntaxError, ValueError):
        return
    line = frame.f_lineno
    for node in ast.walk(tree):
        if isinstance(node, ast.If) and _is_main_guard(node.test) and \
                node.body[0].lineno <= line <= node.body[-1].end_lineno:
            return
    raise RuntimeError(GUARD_MESSAGE % (path,))


def _is_main_guard(test):
    """Whether an if's test is __name__ == "__main__" (either way round)."""
    if not (isinstance(test, ast.Compare) and len(test.ops) == 1
            and isinstance(test.ops[0], ast.Eq)):
        return False
    sides = [test.left, test.comparators[0]]
    return any(isinstance(side, ast.Name) and side.id == "__name__" for side in sides) and \
        any(isinstance(side, ast.Constant) and side.value == "__main__" for side in sides)
