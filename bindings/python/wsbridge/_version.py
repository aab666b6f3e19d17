# SPDX-License-Identifier: GPL-2.0-or-later
"""The package's version: the library's, which include/wsbridge.h states.

An installed package carries it in _location.py (`cmake --install` and the
build backend write it there); a package used from the source tree reads it
from the header. The build backend loads this file on its own (not as part of
the package), so it imports nothing from the package.
"""

import os
import re

_PACKAGE = os.path.dirname(os.path.abspath(__file__))
_HEADER = os.path.join(_PACKAGE, os.pardir, os.pardir, os.pardir, "include", "wsbridge.h")


def version_from_header(path=_HEADER):
    """MAJOR.MINOR.PATCH from the WSB_VERSION_* macros of a wsbridge.h, or
    None when the file is missing or lacks one of them."""
    try:
        with open(path, encoding="utf-8") as header:
            text = header.read()
    except OSError:
        return None
    parts = []
    for part in ("MAJOR", "MINOR", "PATCH"):
        found = re.search(r"^\s*#\s*define\s+WSB_VERSION_%s\s+(\d+)\s*$" % part, text, re.MULTILINE)
        if not found:
            return None
        parts.append(found.group(1))
    return ".".join(parts)


def version_recorded(package=_PACKAGE):
    """The VERSION an installation wrote into the package's _location.py, or
    None when there is none."""
    try:
        with open(os.path.join(package, "_location.py"), encoding="utf-8") as location:
            text = location.read()
    except OSError:
        return None
    found = re.search(r'^VERSION = "([^"]+)"$', text, re.MULTILINE)
    return found.group(1) if found else None


VERSION = version_recorded() or version_from_header() or "0+unknown"
