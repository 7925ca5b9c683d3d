#!/usr/bin/env bash
# Runs alloc_overhead of this build against two builds of Tarnwick.dll,
# alternating them so that the machine's load falls on both alike:
#   bash bench/compare_builds.sh BEFORE_BUILD AFTER_BUILD
# (each a build tree whose bin/ and bin/x64/ hold Tarnwick.dll).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TARNWICK_BUILD:-$ROOT/build}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all
for name in before after; do
    tree=$([ $name = before ] && echo "$1" || echo "$2")
    mkdir -p "$WORK/$name/x86" "$WORK/$name/x64"
    cp "$tree/bin/Tarnwick.dll" "$BUILD/bin/alloc_overhead.exe" "$WORK/$name/x86/"
    cp "$tree/bin/x64/Tarnwick.dll" "$BUILD/bin/x64/alloc_overhead.exe" "$WORK/$name/x64/"
done
for arch in x86 x64; do
    for mode in "" scale pairs; do
        # pairs again, after first this time.
        order=$([ "$mode" = pairs ] && echo "after before" || echo "before after")
        for name in $order; do
            echo "== $arch $name ${mode:-all}"
            (cd "$WORK/$name/$arch" && wine alloc_overhead.exe $mode </dev/null 2>&1) || echo "(exit $?)"
        done
    done
done
