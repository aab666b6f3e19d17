# SPDX-License-Identifier: GPL-2.0-or-later
"""Shared helpers of the binding's tests.

CTest runs each test module in its own process (the engine starts once per
process) with WSBRIDGE_LIBRARY naming the built library, WSB_TEST_CAPTURES
the folder of shared captures, WSB_SAMPLE_CAPTURE the build's sample capture,
WSB_CLI the command-line host and WSB_HEADER the public header.
"""

import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_DIR = os.path.dirname(HERE)
SOURCE_DIR = os.path.dirname(os.path.dirname(PACKAGE_DIR))

# The preferences the library switches off, for tshark runs that must
# dissect the way the library does (one `module.name:FALSE` a line).
def _tshark_preferences():
    path = os.path.join(SOURCE_DIR, "lib", "engine", "preference_overrides.txt")
    options = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            line = line.strip()
            if line and not line.startswith("#"):
                options += ["-o", line]
    return options


TSHARK_PREFERENCES = _tshark_preferences()


def environment(name, default=None):
    value = os.environ.get(name, default)
    if not value:
        pytest.fail("%s is not set: run the tests through ctest" % name)
    return value


def shared_captures_dir():
    return environment("WSB_TEST_CAPTURES", os.path.join(SOURCE_DIR, "tests", "captures"))


def shared_capture(name):
    return os.path.join(shared_captures_dir(), name)


def shared_capture_names():
    folder = os.environ.get("WSB_TEST_CAPTURES",
                            os.path.join(SOURCE_DIR, "tests", "captures"))
    if not os.path.isdir(folder):
        return []
    return sorted(name for name in os.listdir(folder)
                  if os.path.splitext(name)[1] in (".pcap", ".pcapng", ".cap", ".gz"))


def run_tshark(arguments):
    """tshark's standard output and exit status (in the C locale, for stable
    texts; the temporary files it makes go to /tmp)."""
    env = dict(os.environ, LC_ALL="C.UTF-8", TMPDIR="/tmp")
    completed = subprocess.run(["tshark"] + TSHARK_PREFERENCES + arguments, env=env,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return completed.stdout, completed.returncode


def run_python(code, *arguments, env=None, check=True):
    """Runs code in a fresh interpreter (its own engine) with the binding on
    the path; returns the completed process."""
    variables = dict(os.environ)
    variables["PYTHONPATH"] = PACKAGE_DIR + os.pathsep + variables.get("PYTHONPATH", "")
    variables["PYTHONDONTWRITEBYTECODE"] = "1"
    if env:
        for key, value in env.items():
            if value is None:
                variables.pop(key, None)
            else:
                variables[key] = value
    completed = subprocess.run([sys.executable, "-c", textwrap.dedent(code)] + list(arguments),
                               env=variables, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               universal_newlines=True, timeout=120)
    if check and completed.returncode != 0:
        pytest.fail("the subprocess failed (%d):\n%s%s" % (completed.returncode, completed.stdout,
                                                          completed.stderr))
    return completed


@pytest.fixture(scope="module")
def engine():
    """The engine of this test process, started once."""
    import wsbridge
    return wsbridge.start()


@pytest.fixture(scope="module")
def sample_capture():
    return environment("WSB_SAMPLE_CAPTURE")


@pytest.fixture(scope="module")
def cli():
    return environment("WSB_CLI")
