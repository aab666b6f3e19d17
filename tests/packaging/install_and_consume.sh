#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs a built wsbridge into a temporary prefix and uses it the way
# another project does: a small C program built with pkg-config and with
# find_package(wsbridge), the installed command, and the installed Python
# package (which must find the installed library by itself).
#
# usage: install_and_consume.sh BUILD_DIR CONSUMER_SOURCE_DIR CAPTURE [PYTHON]
set -eu

build=$1
consumer_source=$2
capture=$3
python=${4:-}

fail() {
    echo "install_and_consume: $*" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/wsbridge-install.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install failed"; }

# What the prefix must hold.
[ -f "$prefix/include/wsbridge.h" ] || fail "no include/wsbridge.h"
[ -x "$prefix/bin/wsbridge" ] || fail "no bin/wsbridge"
library=$(find "$prefix" -name 'libwsbridge.so.*.*.*' -type f | head -n 1)
[ -n "$library" ] || fail "no versioned libwsbridge.so"
libdir=$(dirname "$library")
soname=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
[ -n "$soname" ] || fail "the library has no soname"
[ -L "$libdir/$soname" ] || fail "no $soname link"
[ -L "$libdir/libwsbridge.so" ] || fail "no libwsbridge.so link"
pc=$(find "$prefix" -name wsbridge.pc | head -n 1)
[ -n "$pc" ] || fail "no wsbridge.pc"
config=$(find "$prefix" -name wsbridgeConfig.cmake | head -n 1)
[ -n "$config" ] || fail "no wsbridgeConfig.cmake"
# The public header includes nothing but <stdint.h>.
includes=$(grep '^[[:space:]]*#[[:space:]]*include' "$prefix/include/wsbridge.h" | tr -d ' \t')
[ "$includes" = "#include<stdint.h>" ] || fail "the header includes: $includes"

expected=$(tshark -r "$capture" 2>/dev/null | wc -l)
[ "$expected" -gt 0 ] || fail "tshark read no packet of $capture"

# 1. pkg-config. The flags name the installed copy only: no engine library.
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") PKG_CONFIG_LIBDIR=$(dirname "$pc") pkg-config --cflags --libs wsbridge) ||
    fail "pkg-config does not know wsbridge"
case "$flags" in
*wireshark* | *wiretap* | *glib*) fail "pkg-config hands out engine flags: $flags" ;;
esac
case " $flags " in
*" -lwsbridge "*) ;;
*) fail "pkg-config flags without -lwsbridge: $flags" ;;
esac
# shellcheck disable=SC2086 # the flags are words
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$work/consumer-pkg-config" \
    "$consumer_source/consumer.c" $flags || fail "building with pkg-config failed"
output=$(LD_LIBRARY_PATH=$libdir "$work/consumer-pkg-config" "$capture") ||
    fail "the pkg-config consumer failed: $output"
[ "$output" = "$expected packets" ] || fail "the pkg-config consumer printed \"$output\", not \"$expected packets\""
# It links the library alone (the engine comes in through libwsbridge.so) and
# loads the installed copy, not the build tree's.
if objdump -p "$work/consumer-pkg-config" | grep NEEDED | grep -q -e wireshark -e wiretap; then
    fail "the pkg-config consumer links the engine libraries itself"
fi
LD_LIBRARY_PATH=$libdir ldd "$work/consumer-pkg-config" | grep -q "$libdir/$soname" ||
    fail "the pkg-config consumer does not load $libdir/$soname"

# 2. find_package(wsbridge VERSION) with the built version, which the
# installed version file accepts, and the imported target wsbridge::wsbridge.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no CMAKE_PROJECT_VERSION in $build/CMakeCache.txt"
cmake -S "$consumer_source" -B "$work/consumer-build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DWSBRIDGE_WANTED_VERSION="$version" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; fail "configuring the consumer failed"; }
cmake --build "$work/consumer-build" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; fail "building the consumer failed"; }
output=$("$work/consumer-build/consumer" "$capture") || fail "the CMake consumer failed: $output"
[ "$output" = "$expected packets" ] || fail "the CMake consumer printed \"$output\", not \"$expected packets\""
ldd "$work/consumer-build/consumer" | grep -q "$libdir/$soname" ||
    fail "the CMake consumer does not load $libdir/$soname"

# 3. The installed command. Installed outside the system's library path it
# carries a relative run path and finds the library of its own prefix.
if objdump -p "$prefix/bin/wsbridge" | grep -q 'RUNPATH.*\$ORIGIN'; then
    loaded=$(env -u LD_LIBRARY_PATH ldd "$prefix/bin/wsbridge" | awk '$1 == "'"$soname"'" { print $3 }')
    [ -n "$loaded" ] && [ "$(realpath "$loaded")" = "$(realpath "$libdir/$soname")" ] ||
        fail "the installed command loads \"$loaded\", not $libdir/$soname"
fi
lines=$(LD_LIBRARY_PATH=$libdir "$prefix/bin/wsbridge" summary "$capture" | wc -l) ||
    fail "the installed command failed"
[ "$lines" -eq "$expected" ] || fail "the installed command printed $lines lines, not $expected"

# 4. The installed Python package finds the installed library by itself, in
# the prefix and in a copy of the prefix (the library's place is recorded
# relative to the package), as the command does.
if [ -n "$python" ]; then
    package=$(find "$prefix" -name __init__.py -path '*/wsbridge/__init__.py' | head -n 1)
    [ -n "$package" ] || fail "no Python package"
    site=$(dirname "$(dirname "$package")")
    expected_site=$("$python" "$(dirname "$0")/../../cmake/python_install.py" site "$prefix")
    [ "$site" = "$expected_site" ] || fail "the Python package is in $site, not in $expected_site"
    [ -f "$(find "$site" -path '*/wsbridge-*.dist-info/RECORD' | head -n 1)" ] ||
        fail "the Python package has no dist-info RECORD"
    cp -a "$prefix" "$work/copy"
    for root in "$prefix" "$work/copy"; do
        root_site=$root${site#"$prefix"}
        output=$(env -u WSBRIDGE_LIBRARY -u LD_LIBRARY_PATH PYTHONPATH="$root_site" PYTHONDONTWRITEBYTECODE=1 \
            "$python" -c '
import os, sys, wsbridge
engine = wsbridge.start()
with engine.open(sys.argv[1]) as capture:
    count = sum(1 for _ in capture)
print(os.path.realpath(engine.library.path))
print(count)
' "$capture") || fail "the installed Python package failed in $root: $output"
        [ "$output" = "$(realpath "$root${libdir#"$prefix"}/$soname")
$expected" ] || fail "the installed Python package in $root printed: $output"
    done
    if objdump -p "$prefix/bin/wsbridge" | grep -q 'RUNPATH.*\$ORIGIN'; then
        lines=$(env -u LD_LIBRARY_PATH "$work/copy/bin/wsbridge" summary "$capture" | wc -l) ||
            fail "the command of the copied prefix failed"
        [ "$lines" -eq "$expected" ] || fail "the command of the copied prefix printed $lines lines"
    fi
fi

echo "installed into a temporary prefix; pkg-config, find_package, command and Python consumers read $expected packets${python:+ (Python also from a copy of the prefix)}"
