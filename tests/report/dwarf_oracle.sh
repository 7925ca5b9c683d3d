#!/usr/bin/env bash
# The library's DWARF line reader against addr2line from the cross binutils:
# for every return address in each image (the byte before it, as frames are
# looked up), the file and line of the outermost function that holds it,
# which is the last line of addr2line's inline chain. Where the two differ,
# llvm-symbolizer decides: binutils 2.40's addr2line names a DWARF 5 unit's
# own file for rows of file 1 when the two differ (mingw's wide printf
# sources include the narrow ones); those are counted, not failed.
# Usage: dwarf_oracle.sh OBJDUMP ADDR2LINE RUNNER PROBE IMAGE...
set -euo pipefail
objdump=$1 addr2line=$2 runner=$3 probe=$4
shift 4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
total=0 lines=0 bad=0 overruled=0
for image in "$@"; do
    # The address after every call in the code, less one.
    "$objdump" -d --no-show-raw-insn -j .text "$image" |
        perl -ne 'if (/^ *([0-9a-f]+):\t(\S+)/) { printf "%x\n", hex($1) - 1 if $call; $call = $2 =~ /^call/ }' \
            >"$work/addresses"
    "$addr2line" -a -i -e "$image" <"$work/addresses" |
        awk 'function out() { if (n) print a " " last }
             /^0x[0-9a-f]+$/ { out(); a = $0; sub("^0x0*", "", a); n = 1; next }
             { last = $0; sub(" \\(discriminator [0-9]+\\)$", "", last) }
             END { out() }' |
        sed -E 's/ [^ ]*:(0|\?)$/ ??:0/' >"$work/expected"
    { echo "F Z:$(echo "$image" | tr / '\\')"; cat "$work/addresses"; } | "$runner" "$probe" | tr -d '\r' >"$work/ours"
    total=$((total + $(wc -l <"$work/addresses")))
    lines=$((lines + $(grep -vc ' ??:0$' "$work/expected" || true)))
    paste -d '\n' "$work/expected" "$work/ours" | paste - - | awk -F '\t' '$1 != $2' >"$work/differ" || true
    [ -s "$work/differ" ] || continue
    cut -f2 "$work/differ" | cut -d' ' -f1 | sed s/^/0x/ >"$work/differ.addresses"
    llvm-symbolizer --obj="$image" --functions=none <"$work/differ.addresses" |
        awk 'NF { last = $0; sub(/:[0-9]+$/, "", last); next } { print last }' >"$work/referee"
    paste "$work/differ" "$work/referee" | while IFS=$'\t' read -r theirs ours referee; do
        if [ "${ours#* }" = "$referee" ]; then
            echo "overruled $theirs -> $ours"
        else
            echo "DISAGREE $image: addr2line $theirs, ours $ours, llvm-symbolizer $referee"
        fi
    done >"$work/verdicts"
    overruled=$((overruled + $(grep -c '^overruled' "$work/verdicts" || true)))
    bad=$((bad + $(grep -c '^DISAGREE' "$work/verdicts" || true)))
    grep '^DISAGREE' "$work/verdicts" | head -20 || true
done
echo "dwarf_oracle: $total return addresses, $lines with a line by addr2line, $bad disagreements," \
    "$overruled where llvm-symbolizer sides with the reader against addr2line"
[ "$total" -gt 0 ] && [ "$lines" -gt 0 ] && [ "$bad" -eq 0 ]
