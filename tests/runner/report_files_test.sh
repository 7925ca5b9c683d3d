#!/usr/bin/env bash
# The page and the SARIF file of real runs under the launcher: word_list.exe
# with a suppression, and Wine's cscript running a small script. Each page is
# opened in headless Chromium and judged by what its script drew; each SARIF
# file is validated against the SARIF 2.1.0 schema.
#   report_files_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SRC=$1
BIN=$2
SCHEMA_DIR=$BIN/npm/node_modules
command -v chromium >/dev/null && [ -d "$SCHEMA_DIR/ajv" ] ||
    { echo "report_files_test: needs chromium and the SARIF schema: run cmake/setup.sh --tests $BIN" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "report_files_test: $*" >&2; exit 1; }
windows() { echo "Z:${1//\//\\}"; }
launch() { "$BIN/wine-run.sh" "$BIN/bin/tarnwick.exe" "$@" >"$WORK/out" 2>"$WORK/err" </dev/null || true; }
page() {
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
        --disable-component-update --disable-sync --user-data-dir="$(mktemp -d -p "$WORK")" \
        --dump-dom "file://$1" 2>/dev/null
}
has() { grep -qE -- "$2" <<<"$1" || fail "$3 does not show: $2"; }
# The groups' data-KEY values in the page's order must not rise.
descending() { grep -oE "data-$2=\"[0-9]+\"" <<<"$1" | grep -oE '[0-9]+' | sort -n -r -c 2>/dev/null ||
    fail "groups not sorted by $2"; }

# word_list.exe leaks 3 list nodes (line 17) and a grown buffer of 64 bytes
# (line 48): by bytes the buffer comes first, by count the nodes.
launch --html "$(windows "$WORK/w.html")" --sarif "$(windows "$WORK/w.sarif")" "$(windows "$BIN/bin/word_list.exe")"
dom=$(page "$WORK/w.html#sort=count")
has "$dom" '<tr id="leaked"><th>Leaked</th><td>4</td><td>[0-9]+</td><td>2</td>' "the summary"
has "$dom" '<div id="groups"><section class="group" data-bytes="[0-9]+" data-count="3"><h3>[0-9]+ bytes: 3 blocks of [0-9]+ bytes \(one at 0x[0-9A-F]{8}\) </h3>' "the group"
descending "$dom" count
has "$dom" '<li>Z:\\[^<]*\\examples\\word_list.cpp\(17\) : 0x[0-9A-F]{8}<pre class="source">' "the group's stack"
line17=$(sed -n 17p "$SRC/examples/word_list.cpp" | sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g')
grep -qF "<span class=\"here\">   17  $line17" <<<"$dom" || fail "the page does not show line 17: $line17"
has "$dom" '<div class="node" title="[^"]*word_list.cpp\(56\): [0-9]+ bytes"[^>]*>word_list.cpp\(56\)</div>' \
    "the flame graph"
[ "$(grep -o 'class="node"' <<<"$dom" | wc -l)" -ge 4 ] || fail "the flame graph has too few frames"
node "$SRC/tests/runner/check_sarif.js" "$SCHEMA_DIR" "$WORK/w.sarif" 2 "$SRC/examples/word_list.cpp" 17

# Wine's cscript running a small script, its theme library's blocks
# suppressed: the page lists the groups of the summary line, by bytes.
printf '*\\uxtheme\\*\n' >"$WORK/rules.txt"
printf 'var words = [];\nfor (var i = 0; i < 50; i++) words.push("w" + i);\nWScript.Echo(words.length);\n' >"$WORK/t.js"
launch --suppress "$(windows "$WORK/rules.txt")" --html "$(windows "$WORK/c.html")" --sarif "$(windows "$WORK/c.sarif")" \
    cscript.exe //nologo "$(windows "$WORK/t.js")"
[ "$(tr -d '\r' <"$WORK/out" | grep -x 50)" = 50 ] || fail "cscript did not run the script: $(head -c 300 "$WORK/out")"
summary=$(grep -oE 'lists [0-9]+ leaked blocks in [0-9]+ groups; [0-9]+ blocks in [0-9]+ groups suppressed' "$WORK/err") ||
    fail "cscript summary: $(cat "$WORK/err")"
read -r _ blocks _ _ _ groups _ hidden _ _ hiddenGroups _ <<<"${summary//;/}"
! grep -q '\\uxtheme\\' "$WORK/out" || fail "a suppressed group is in the text report"
thousands() { sed ':a; s/\B[0-9]\{3\}\>/,&/; ta' <<<"$1"; }
dom=$(page "$WORK/c.html")
has "$dom" "<tr id=\"leaked\"><th>Leaked</th><td>$(thousands "$blocks")</td><td>[0-9,]+</td><td>$groups</td>" "the cscript summary"
has "$dom" "<tr id=\"suppressed\"><th>Suppressed</th><td>$(thousands "$hidden")</td><td></td><td>$hiddenGroups</td>" \
    "the cscript summary"
[ "$(grep -o '<section class="group"' <<<"$dom" | wc -l)" -eq "$groups" ] || fail "the cscript page lacks groups"
descending "$dom" bytes
node "$SRC/tests/runner/check_sarif.js" "$SCHEMA_DIR" "$WORK/c.sarif" "$groups"
echo "report_files_test: passed"
