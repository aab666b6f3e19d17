#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Puts the licence identifier "SPDX-License-Identifier: GPL-2.0-or-later",
# in a comment of the file's own syntax, on the first line (after a shebang,
# and after a Python encoding line that follows it) of every source file that
# has none in its first ten lines.
#
#   tools/spdx.sh [FILE...]           add it where it is missing
#   tools/spdx.sh --check [FILE...]   list the files without it; status 1 if any
#
# Without FILEs: every file of the repository that git tracks or would track
# (or, outside a git checkout, every file below it but build trees). Source
# files are C (.c, .h), C++ (.cpp, .cc, .cxx, .hpp, .hh), C# (.cs), CMake
# (CMakeLists.txt, .cmake), shell (.sh), Python (.py), manual pages (roff,
# .1 to .9), templates of those or of pkg-config files (.in after the
# template's own extension) and files without an extension that start with
# a shell or Python shebang. Other files are left alone.
set -eu

identifier="SPDX-License-Identifier: GPL-2.0-or-later"
root=$(cd "$(dirname "$0")/.." && pwd)

check=0
if [ "${1:-}" = "--check" ]; then
    check=1
    shift
fi
case "${1:-}" in
-h | --help)
    sed -n '3,18p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
-*)
    echo "spdx.sh: unknown option $1 (usage: tools/spdx.sh [--check] [FILE...])" >&2
    exit 2
    ;;
esac

# The comment that carries the identifier in FILE, or nothing when the file
# is not a source file of a known syntax.
comment_for() {
    name=$(basename "$1")
    # A template has the syntax of the file it becomes.
    case "$name" in
    *.*.in) name=${name%.in} ;;
    esac
    case "$name" in
    *.c | *.h) printf '/* %s */\n' "$identifier" ;;
    *.cpp | *.cc | *.cxx | *.hpp | *.hh | *.cs) printf '// %s\n' "$identifier" ;;
    CMakeLists.txt | *.cmake | *.sh | *.py | *.pc) printf '# %s\n' "$identifier" ;;
    *.[1-9]) printf '.\\" %s\n' "$identifier" ;;
    *.*) ;;
    *)
        first=$(head -n 1 "$1" 2>/dev/null | tr -d '\0' | cut -c1-80)
        case "$first" in
        '#!'*sh | '#!'*sh' '* | '#!'*python*) printf '# %s\n' "$identifier" ;;
        esac
        ;;
    esac
}

has_identifier() {
    head -n 10 "$1" | grep -q 'SPDX-License-Identifier:'
}

# Inserts COMMENT into FILE as its first line, after a UTF-8 byte order mark,
# after a shebang (and after a Python encoding declaration right after it,
# which must stay in the first two lines). The file keeps its mode.
insert() {
    file=$1
    comment=$2
    bom=0
    if [ "$(head -c 3 "$file" | od -An -tx1 | tr -d ' \n')" = efbbbf ]; then
        bom=3
    fi
    after=0
    if tail -c "+$((bom + 1))" "$file" | head -n 1 | grep -q '^#!'; then
        after=1
        if sed -n 2p "$file" | grep -q '^[ \t\f]*#.*coding[:=]'; then
            after=2
        fi
    fi
    temporary="$file.spdx.$$"
    cp -p "$file" "$temporary"
    {
        [ "$bom" -gt 0 ] && head -c "$bom" "$file"
        tail -c "+$((bom + 1))" "$file" | head -n "$after"
        printf '%s\n' "$comment"
        tail -c "+$((bom + 1))" "$file" | tail -n "+$((after + 1))"
    } >"$temporary"
    mv "$temporary" "$file"
}

list_files() {
    if [ "$#" -gt 0 ]; then
        for file in "$@"; do
            printf '%s\n' "$file"
        done
    elif git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$root" ls-files --cached --others --exclude-standard |
            while IFS= read -r file; do
                [ -f "$root/$file" ] && printf '%s\n' "$root/$file"
            done
    else
        # Build trees are the folders that hold a CMakeCache.txt.
        find "$root" -name .git -prune -o -type d -exec test -e '{}/CMakeCache.txt' ';' -prune \
            -o -type f -print
    fi
}

missing=0
list_files "$@" | {
    while IFS= read -r file; do
        comment=$(comment_for "$file")
        [ -n "$comment" ] || continue
        has_identifier "$file" && continue
        if [ "$check" -eq 1 ]; then
            echo "no SPDX-License-Identifier: ${file#"$root"/}"
            missing=$((missing + 1))
        else
            insert "$file" "$comment"
            echo "added: ${file#"$root"/}"
        fi
    done
    if [ "$check" -eq 1 ] && [ "$missing" -gt 0 ]; then
        echo "$missing source files lack the licence identifier; tools/spdx.sh adds it" >&2
        exit 1
    fi
    exit 0
}
