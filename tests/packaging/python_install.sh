#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The Python package as an installation and as pip see it:
#  1. `cmake --install` with prefix /usr/local (staged in a DESTDIR) puts the
#     package into the site folder the interpreter names for that prefix
#     (Debian: /usr/local/lib/python3.X/dist-packages, which it searches);
#     it imports from there and finds the library of the staged prefix by
#     itself (its place is recorded relative to the package); pip shows it
#     with the installation's version and licence, and uninstalls exactly
#     its files;
#  2. `pip install bindings/python` (offline: --no-build-isolation) installs
#     the same metadata as the CMake installation and leaves the source
#     folder as it was (no build/, no egg-info).
#
# usage: python_install.sh BUILD_DIR SOURCE_DIR CAPTURE PYTHON
set -eu

build=$1
source_dir=$2
capture=$3
python=$4

fail() {
    echo "python_install: $*" >&2
    exit 1
}

if ! "$python" -m pip --version >/dev/null 2>&1; then
    echo "skipped: $python has no pip (tools/install-deps.sh --test installs python3-pip)"
    exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/wsbridge-python.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
# pip offline, with no configuration or cache of the user's, and as a
# system's pip that refuses to touch its interpreter's own folders allows it
# for these staged ones.
export PIP_CONFIG_FILE=/dev/null PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
export PIP_BREAK_SYSTEM_PACKAGES=1 PIP_ROOT_USER_ACTION=ignore PYTHONDONTWRITEBYTECODE=1
unset WSBRIDGE_LIBRARY LD_LIBRARY_PATH PYTHONPATH || true

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no CMAKE_PROJECT_VERSION in $build/CMakeCache.txt"
expected=$(tshark -r "$capture" 2>/dev/null | wc -l)

# ---- 1. cmake --install into DESTDIR with prefix /usr/local ----------------
root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr/local >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install failed"; }
site=$("$python" "$source_dir/cmake/python_install.py" site /usr/local)
[ -f "$root$site/wsbridge/__init__.py" ] || {
    find "$root" -name __init__.py >&2
    fail "the package is not in $site, the site folder $python names for /usr/local"
}
# A Debian interpreter searches /usr/local/lib/python3.X/dist-packages: a
# real installation to /usr/local imports without PYTHONPATH.
if "$python" -c 'import sys, sysconfig; sys.exit("deb_system" not in sysconfig.get_scheme_names())'; then
    case "$site" in
    /usr/local/lib/python3.*/dist-packages) ;;
    *) fail "Debian's interpreter gets $site for /usr/local, not /usr/local/lib/python3.X/dist-packages" ;;
    esac
    "$python" -c 'import site, sys; sys.exit(sys.argv[1] not in sys.path + site.getsitepackages())' "$site" ||
        fail "$python does not search $site"
fi

# It imports from the staged prefix and loads that prefix's library, through
# the relative record: the staged prefix is a moved one.
library=$(find "$root" -name 'libwsbridge.so.0' | head -n 1)
[ -n "$library" ] || fail "no libwsbridge.so.0 under the staged prefix"
output=$(PYTHONPATH=$root$site "$python" -c '
import os, sys, wsbridge
engine = wsbridge.start()
with engine.open(sys.argv[1]) as capture:
    count = sum(1 for _ in capture)
print(os.path.realpath(engine.library.path))
print(count)
print(wsbridge.__version__)
' "$capture" 2>&1) || fail "the installed package failed: $output"
[ "$output" = "$(realpath "$library")
$expected
$version" ] || fail "the installed package printed \"$output\", not the staged library, $expected packets and version $version"
grep -q '^LIBRARY = "\.\./' "$root$site/wsbridge/_location.py" ||
    fail "the library's place is not recorded relative to the package: $(cat "$root$site/wsbridge/_location.py")"

# pip lists it, with the installation's version and licence.
PYTHONPATH=$root$site "$python" -m pip show wsbridge >"$work/show" 2>&1 ||
    { cat "$work/show" >&2; fail "pip show does not find the installed package"; }
grep -qx "Version: $version" "$work/show" || fail "pip show: $(cat "$work/show")"
grep -qx "License: GPL-2.0-or-later" "$work/show" || fail "pip show gives no licence: $(cat "$work/show")"
grep -qx "Location: $root$site" "$work/show" || fail "pip show: $(cat "$work/show")"
PYTHONPATH=$root$site "$python" -m pip list 2>/dev/null | grep -q "^wsbridge  *$version\$" ||
    fail "pip list does not list wsbridge $version"

# ---- 2. pip install bindings/python, offline, leaves the source as it was -
listing() {
    (cd "$source_dir/bindings/python" && find . -name __pycache__ -prune -o -print | LC_ALL=C sort)
}
before=$(listing)
"$python" -m pip install --no-build-isolation --no-deps --target "$work/target" \
    "$source_dir/bindings/python" >"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log" >&2; fail "pip install bindings/python failed"; }
after=$(listing)
[ "$before" = "$after" ] || {
    printf '%s\n' "$before" >"$work/before"
    printf '%s\n' "$after" >"$work/after"
    diff "$work/before" "$work/after" >&2 || true
    fail "pip install left files in bindings/python"
}
wheel_metadata=$(find "$work/target" -path '*.dist-info/METADATA' | head -n 1)
[ -n "$wheel_metadata" ] || fail "pip installed no METADATA"
# The fields both installations write agree (setuptools may add others).
fields() {
    sed '/^$/q' "$1" | grep -E '^(Name|Version|Summary|License|Requires-Python|Requires-Dist|Provides-Extra|Classifier):' |
        LC_ALL=C sort
}
fields "$wheel_metadata" >"$work/wheel-fields"
fields "$root$site/wsbridge-$version.dist-info/METADATA" >"$work/cmake-fields"
diff "$work/wheel-fields" "$work/cmake-fields" >&2 ||
    fail "the metadata of cmake --install differs from the one pip builds from pyproject.toml"
[ -f "$(dirname "$wheel_metadata")/LICENSE" ] || fail "the wheel carries no LICENSE"
output=$(PYTHONPATH=$work/target WSBRIDGE_LIBRARY=$library "$python" -c '
import sys, wsbridge
with wsbridge.start().open(sys.argv[1]) as capture:
    print(sum(1 for _ in capture))
' "$capture" 2>&1) || fail "the package pip installed failed: $output"
[ "$output" = "$expected" ] || fail "the package pip installed read $output packets, not $expected"

# ---- pip uninstalls the CMake installation's package ------------------------
PYTHONPATH=$root$site "$python" -m pip uninstall -y wsbridge >"$work/uninstall.log" 2>&1 ||
    { cat "$work/uninstall.log" >&2; fail "pip uninstall failed"; }
left=$(cd "$root$site" && find . -mindepth 1 | head -n 5)
[ -z "$left" ] || fail "pip uninstall left in $site: $left"
[ -f "$library" ] || fail "pip uninstall removed the library"

echo "the package installs into $site, imports and loads the staged library; pip shows it as" \
    "$version (GPL-2.0-or-later) and uninstalls it; pip install bindings/python leaves the source as it was"
