#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian packages of `cpack -G DEB`, installed the light way: unpacked
# with dpkg -x into a temporary root (tests/packaging/debootstrap_check.sh
# installs them with apt into a fresh Debian root instead). Checks
#  - the four packages, their fields and their copyright files;
#  - the library's dependencies, computed from the binary, name the engine's
#    packages, and every dependency outside the set is a package dpkg knows;
#  - every file lies in exactly one package, under /usr;
#  - from the unpacked root: the command reads the capture, both manual pages
#    format, the example host of wsbridge(3) builds through the packaged
#    pkg-config file and runs, and the Python package imports and finds the
#    packaged library by itself.
#
# usage: debian_packages.sh BUILD_DIR SOURCE_DIR CAPTURE PYTHON
set -eu

build=$1
source_dir=$2
capture=$3
python=$4

fail() {
    echo "debian_packages: $*" >&2
    exit 1
}

for tool in cpack dpkg-deb dpkg-shlibdeps dpkg-query pkg-config; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: no $tool (a Debian system with dpkg-dev is needed)"
        exit 0
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/wsbridge-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
unset WSBRIDGE_LIBRARY LD_LIBRARY_PATH PYTHONPATH || true
export PYTHONDONTWRITEBYTECODE=1

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
release=$(sed -n 's/^WSB_PACKAGE_RELEASE:[A-Z]*=//p' "$build/CMakeCache.txt")
full_version=$version-$release
soversion=${version%%.*}
library_package=libwsbridge$soversion
packages="$library_package libwsbridge-dev wsbridge"
python_package=""
if grep -q '^WSBRIDGE_INSTALL_PYTHON:BOOL=ON$' "$build/CMakeCache.txt"; then
    python_package=python3-wsbridge
    packages="$packages $python_package"
fi
expected=$(tshark -r "$capture" 2>/dev/null | wc -l)
[ "$expected" -gt 0 ] || fail "tshark read no packet of $capture"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }

# ---- the packages and their fields ------------------------------------------
deb() {
    set -- "$work/packages/$1"_*.deb
    [ -f "$1" ] || fail "no package $(basename "$1")"
    echo "$1"
}
field() {
    dpkg-deb -f "$1" "$2"
}
count=$(find "$work/packages" -maxdepth 1 -name '*.deb' | wc -l)
[ "$count" -eq "$(echo $packages | wc -w)" ] || fail "cpack made $(ls "$work/packages"), not $packages"
for package in $packages; do
    file=$(deb "$package")
    [ "$(field "$file" Package)" = "$package" ] || fail "$file is not the package $package"
    [ "$(field "$file" Version)" = "$full_version" ] ||
        fail "$package has version $(field "$file" Version), not $full_version"
    field "$file" Description | grep -q . || fail "$package has no description"
    dpkg-deb --fsys-tarfile "$file" | tar -xOf - "./usr/share/doc/$package/copyright" >"$work/copyright" ||
        fail "$package has no /usr/share/doc/$package/copyright"
    grep -q '^License: GPL-2.0-or-later$' "$work/copyright" || fail "$package: the copyright file names no licence"
    dpkg-deb -c "$file" | awk '{ print $6 }' | grep -v '/$' | sed 's,^\./,/,' >"$work/$package.files"
    if grep -v '^/usr/' "$work/$package.files" >&2; then
        fail "$package installs outside /usr"
    fi
    # Every dependency is one of these packages or one that dpkg knows.
    field "$file" Depends | tr ',' '\n' | sed 's/^ *//; s/[ (].*//' | grep . |
        while read -r dependency; do
            case "$dependency" in
            "$library_package" | libwsbridge-dev | wsbridge | python3-wsbridge) ;;
            *) dpkg-query -W "$dependency" >/dev/null 2>&1 ||
                fail "$package depends on $dependency, a package this system does not know" ;;
            esac
        done
done
depends=$(field "$(deb "$library_package")" Depends)
for engine in libwireshark libwiretap libwsutil libglib2.0-0; do
    case "$depends" in
    *"$engine"*) ;;
    *) fail "$library_package does not depend on $engine: $depends" ;;
    esac
done
for package in libwsbridge-dev wsbridge $python_package; do
    case "$(field "$(deb "$package")" Depends)" in
    *"$library_package (= $full_version)"*) ;;
    *) fail "$package does not depend on $library_package (= $full_version)" ;;
    esac
done

# ---- the files, each in one package -------------------------------------------
cat "$work"/*.files | sort | uniq -d >"$work/twice"
[ ! -s "$work/twice" ] || fail "files in more than one package: $(cat "$work/twice")"
has() {
    grep -q "$2" "$work/$1.files" || fail "$1 lacks $2"
}
has "$library_package" "/libwsbridge\.so\.$soversion\$"
has libwsbridge-dev '/libwsbridge\.so$'
has libwsbridge-dev '^/usr/include/wsbridge\.h$'
has libwsbridge-dev '/pkgconfig/wsbridge\.pc$'
has libwsbridge-dev '/cmake/wsbridge/wsbridgeConfig\.cmake$'
has libwsbridge-dev '^/usr/share/man/man3/wsbridge\.3'
has wsbridge '^/usr/bin/wsbridge$'
has wsbridge '^/usr/share/man/man1/wsbridge\.1'
if [ -n "$python_package" ]; then
    [ "$(field "$(deb python3-wsbridge)" Architecture)" = all ] || fail "python3-wsbridge is not Architecture: all"
    has python3-wsbridge '^/usr/lib/python3/dist-packages/wsbridge/__init__\.py$'
    has python3-wsbridge "^/usr/lib/python3/dist-packages/wsbridge-$version\.dist-info/METADATA\$"
    if grep -q 'dist-info/RECORD$' "$work/python3-wsbridge.files"; then
        fail "python3-wsbridge carries a RECORD: pip would remove files that dpkg owns"
    fi
fi

# ---- unpacked into a root -------------------------------------------------------
root=$work/root
for file in "$work"/packages/*.deb; do
    dpkg -x "$file" "$root"
done
library=$(find "$root/usr/lib" -name "libwsbridge.so.$soversion" | head -n 1)
libdir=$(dirname "$library")

lines=$(LD_LIBRARY_PATH=$libdir "$root/usr/bin/wsbridge" summary "$capture" | wc -l) ||
    fail "the packaged command failed"
[ "$lines" -eq "$expected" ] || fail "the packaged command printed $lines lines, not $expected"

for page in man1/wsbridge.1 man3/wsbridge.3; do
    output=$(MANWIDTH=80 man -l "$root/usr/share/man/$page" 2>&1 >/dev/null) ||
        fail "man -l $page failed: $output"
    [ -z "$output" ] || fail "man -l $page warns: $output"
    MANWIDTH=80 man -l "$root/usr/share/man/$page" | grep -q 'wsbridge' || fail "man -l $page shows nothing"
done

# The example host of wsbridge(3), through the packaged pkg-config file.
"$python" "$source_dir/tests/packaging/man_pages.py" example "$root/usr/share/man/man3/wsbridge.3" >"$work/host.c" ||
    fail "wsbridge(3) has no example"
pc=$(find "$root/usr/lib" -name wsbridge.pc | head -n 1)
flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$(dirname "$pc") pkg-config --cflags --libs wsbridge) ||
    fail "pkg-config does not know the packaged wsbridge"
# shellcheck disable=SC2086 # the flags are words
cc -std=c99 -pedantic -Wall -Wextra -Werror -o "$work/host" "$work/host.c" $flags ||
    fail "the example of wsbridge(3) does not build with the packaged header and pkg-config file"
packets=$(LD_LIBRARY_PATH=$libdir "$work/host" "$capture" | grep -c '^[0-9]') ||
    fail "the example of wsbridge(3) failed"
[ "$packets" -eq "$expected" ] || fail "the example of wsbridge(3) printed $packets packets, not $expected"

# The Python package finds the packaged library by itself.
if [ -n "$python_package" ]; then
    site=$root/usr/lib/python3/dist-packages
    output=$(PYTHONPATH=$site "$python" -c '
import os, sys, wsbridge
engine = wsbridge.start()
with engine.open(sys.argv[1]) as capture:
    count = sum(1 for _ in capture)
print(os.path.realpath(engine.library.path))
print(count)
' "$capture" 2>&1) || fail "the packaged Python package failed: $output"
    [ "$output" = "$(realpath "$library")
$expected" ] || fail "the packaged Python package printed \"$output\", not $library and $expected packets"
    [ "$(cat "$site/wsbridge-$version.dist-info/INSTALLER")" = dpkg ] ||
        fail "the packaged dist-info does not name dpkg as its installer"
fi

echo "cpack -G DEB made" $packages "$full_version; unpacked, the command, the manual pages," \
    "the example host${python_package:+ and the Python package} work"
