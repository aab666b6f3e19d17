#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks the include graph of the folders of lib/: every #include "folder/..."
# of a file in lib/ must name its own folder or a folder of a lower layer, so
# the graph has no arrow upward and no circle. The layers, bottom to top, are
# those of README.md's Layout section; files directly in lib/ (the lifecycle)
# are the top layer. Exit 0 when the graph is clean; otherwise each offending
# include is printed and the exit status is 1.
#
# Usage: tools/check-layers.sh [LIB_DIR]
set -eu

lib=${1:-$(dirname "$0")/../lib}
[ -d "$lib" ] || { echo "check-layers: no folder $lib" >&2; exit 2; }

# One layer a line; folders on one line are side by side and may not include
# each other. compatNN stands for every engine series folder (lib/compat40 ...).
layers='compat
compatNN
shard
engine
dissection live
capture
tree
fields
save
follow
stats
.'

rank_of() {
    case $1 in
    compat[0-9]*) name=compatNN ;;
    *) name=$1 ;;
    esac
    printf '%s\n' "$layers" | awk -v n="$name" '{ for (i = 1; i <= NF; i++) if ($i == n) { print NR; exit } }'
}

status=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT

for file in $(cd "$lib" && find . -name '*.cpp' -o -name '*.h' | sed 's|^\./||' | sort); do
    case $file in
    */*) from=${file%%/*} ;;
    *) from=. ;;
    esac
    from_rank=$(rank_of "$from")
    if [ -z "$from_rank" ]; then
        echo "check-layers: lib/$file lies in folder $from, which has no layer" >&2
        status=1
        continue
    fi
    for to in $(sed -n 's|^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([A-Za-z0-9_]*\)/.*".*|\1|p' "$lib/$file" | sort -u); do
        [ "$to" = "$from" ] && continue
        [ -d "$lib/$to" ] || continue
        to_rank=$(rank_of "$to")
        echo "$from $to" >> "$edges"
        if [ -z "$to_rank" ] || [ "$to_rank" -ge "$from_rank" ]; then
            echo "check-layers: lib/$file (layer $from) includes $to, which is not below it" >&2
            status=1
        fi
    done
done

# A circle among folders, whatever the declared order says (tsort reports one).
if ! sort -u "$edges" | tsort > /dev/null 2> "$edges.err"; then
    echo "check-layers: the folders of lib/ include each other in a circle:" >&2
    cat "$edges.err" >&2
    status=1
fi
rm -f "$edges.err"

[ $status -eq 0 ] && echo "check-layers: $(sort -u "$edges" | wc -l) folder arrows, all downward, no circle"
exit $status
