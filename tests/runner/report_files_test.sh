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
launch() { status=0; "$BIN/wine-run.sh" "$BIN/bin/tarnwick.exe" "$@" >"$WORK/out" 2>"$WORK/err" </dev/null || status=$?; }
page() {
    chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
        --disable-component-update --disable-sync --user-data-dir="$(mktemp -d -p "$WORK")" \
        --dump-dom "file://$1" 2>/dev/null
}
has() { grep -qE -- "$2" <<<"$1" || fail "$3 does not show: $2"; }
# The groups' data-KEY values in the page's order must not rise.
descending() { grep -oE "data-$2=\"[0-9]+\"" <<<"$1" | grep -oE '[0-9]+' | sort -n -r -c 2>/dev/null ||
    fail "groups not sorted by $2"; }

# word_list.exe loses 3 list nodes (line 18), their 4 texts (line 19) and its vector with its buffer (line 42,
# through the library's headers): each result located at the program's own line.
launch --sarif "$(windows "$WORK/w.sarif")" "$(windows "$BIN/bin/word_list.exe")"
node "$SRC/tests/runner/check_sarif.js" "$SCHEMA_DIR" "$WORK/w.sarif" 4 "$SRC/examples/word_list.cpp" 18 all
# The same, 64-bit, through the 32-bit launcher: 16-digit addresses.
launch --sarif "$(windows "$WORK/w64.sarif")" "$(windows "$BIN/bin/x64/word_list.exe")"
node "$SRC/tests/runner/check_sarif.js" "$SCHEMA_DIR" "$WORK/w64.sarif" 4 "$SRC/examples/word_list.cpp" 18 all

# Wine's cscript running a small script (what the system's DLLs allocate is
# left out), one of its own groups suppressed: the page lists the groups of
# the summary line, by bytes.
printf '*\\wscript\\main.c(455)*\n' >"$WORK/rules.txt"
printf 'var words = [];\nfor (var i = 0; i < 50; i++) words.push("w" + i);\nWScript.Echo(words.length);\n' >"$WORK/t.js"
launch --all --suppress "$(windows "$WORK/rules.txt")" --html "$(windows "$WORK/c.html")" --sarif "$(windows "$WORK/c.sarif")" \
    cscript.exe //nologo "$(windows "$WORK/t.js")"
[ "$(tr -d '\r' <"$WORK/out" | grep -x 50)" = 50 ] || fail "cscript did not run the script: $(head -c 300 "$WORK/out")"
summary=$(grep -oE 'lists [0-9]+ leaked blocks in [0-9]+ groups; [0-9]+ blocks in [0-9]+ groups suppressed' "$WORK/err") ||
    fail "cscript summary: $(cat "$WORK/err")"
read -r _ blocks _ _ _ groups _ hidden _ _ hiddenGroups _ <<<"${summary//;/}"
! grep -q '\\wscript\\main.c(455)' "$WORK/out" || fail "a suppressed group is in the text report"
thousands() { sed ':a; s/\B[0-9]\{3\}\>/,&/; ta' <<<"$1"; }
dom=$(page "$WORK/c.html")
has "$dom" "<tr id=\"leaked\"><th>Leaked</th><td>$(thousands "$blocks")</td><td>[0-9,]+</td><td>$groups</td>" "the cscript summary"
has "$dom" "<tr id=\"suppressed\"><th>Suppressed</th><td>$(thousands "$hidden")</td><td></td><td>$hiddenGroups</td>" \
    "the cscript summary"
[ "$(grep -o '<section class="group"' <<<"$dom" | wc -l)" -eq "$groups" ] || fail "the cscript page lacks groups"
descending "$dom" bytes
node "$SRC/tests/runner/check_sarif.js" "$SCHEMA_DIR" "$WORK/c.sarif" "$groups"

# A report that tells lost from still reachable blocks, sent by dbg_host
# through the runner, with frames in word_list.cpp: only lost blocks count
# for the exit code; by count the reachable group of 5 comes first.
example=$(windows "$SRC/examples/word_list.cpp")
tab=$'\t'
cat >"$WORK/classes.txt" <<END

Tarnwick: Memory leak dump
Tarnwick: Lost blocks (nothing in the program's memory points to them any more):
Memory block 40 bytes at 0x00790000 (1 times)
word_list.exe!xmalloc+0x10 : 0x00401010
$example(17) : 0x004015E8
$example(56) : 0x0040174D
Z:\\mingw\\crtexe.c(267) : 0x00401300


Memory block 40 bytes at 0x00750000 (1 times)
$example(17) : 0x004015E8
$example(56) : 0x0040174D
Z:\\mingw\\crtexe.c(267) : 0x00401300


Tarnwick: Still reachable blocks (the program still holds a pointer to them):
Memory block 8 bytes at 0x00780000 (5 times)
$example(48) : 0x00401707
0x0040138E${tab}at word_list.exe+0x138e${tab}missing Z:\\b\\word_list.exe|||


Memory block 16 bytes at 0x00770000 (1 times)
ntdll.dll!RtlAllocateHeap+0x20 : 0x7BC5CA07
0x00401400${tab}at word_list.exe+0x1400${tab}missing Z:\\b\\word_list.exe|||



Tarnwick: leak report of the memory leak detector; see its README for how to read it.
END
host="$(windows "$BIN/bin/dbg_host.exe") lines $(windows "$WORK/classes.txt")"
launch --no-inject --leak-exit-code 7 --show-reachable --alloc-fn '*!xmalloc*' --html "$(windows "$WORK/r.html")" \
    --sarif "$(windows "$WORK/r.sarif")" $host
[ "$status" = 7 ] || fail "exit code $status with a lost group"
dom=$(page "$WORK/r.html#sort=count")
has "$dom" '<tr id="lost"><th>Lost</th><td>2</td><td>80</td><td>1</td><td></td></tr>' "the summary"
has "$dom" '<tr id="reachable"><th>Still reachable</th><td>6</td><td>56</td><td>2</td><td></td></tr>' "the summary"
has "$dom" '<div id="groups"><section class="group" data-bytes="40" data-count="5"><h3>40 bytes: 5 blocks of 8 bytes \(one at 0x00780000\) <span class="class reachable">reachable</span></h3>' "the groups by count"
descending "$dom" count
has "$dom" '<li>Z:\\[^<]*\\examples\\word_list.cpp\(17\) : 0x004015E8<pre class="source">' "the lost group's stack"
line17=$(sed -n 17p "$SRC/examples/word_list.cpp" | sed 's/&/\&amp;/g; s/</\&lt;/g; s/>/\&gt;/g')
grep -qF "<span class=\"here\">   17  $line17" <<<"$dom" || fail "the page does not show line 17: $line17"
has "$dom" '<div class="node" title="[^"]*word_list.cpp\(56\): 80 bytes"[^>]*>word_list.cpp\(56\)</div>' "the flame graph"
has "$dom" 'title="program start-up: 80 bytes"[^<]*</div><div[^>]*word_list.cpp\(56\): 80' "the start-up"
has "$dom" '<li>Z:\\mingw\\crtexe.c\(267\) : 0x00401300</li></ol>' "the lost group's stack"
# A frame without a symbol by module and offset, its module named once as one without line information.
has "$dom" '<li>word_list.exe\+0x138E : 0x0040138E</li></ol>' "the reachable group's stack"
has "$dom" '<ul id="missing" class="hint"><li>no line information for word_list.exe \(Z:\\b\\word_list.exe\): its image names no PDB[^<]*</li></ul>' "the modules without lines"
[ "$(grep -c '^tarnwick: no line information for word_list.exe (Z:\\b\\word_list.exe): its image names no PDB' "$WORK/err")" = 1 ] ||
    fail "standard error does not name the module without lines once: $(cat "$WORK/err")"
grep -qx '0x0040138E' <(tr -d '\r' <"$WORK/out") || fail "the text report's bare frame changed: $(cat "$WORK/out")"
grep -q '"fullyQualifiedName":"word_list.exe+0x138E"}' "$WORK/r.sarif" || fail "no module+offset in the SARIF file"
grep -q '"toolExecutionNotifications":\[{"level":"warning","message":{"text":"no line information for word_list.exe' \
    "$WORK/r.sarif" || fail "no notification of the module without lines in the SARIF file"
node "$SRC/tests/runner/check_sarif.js" "$SCHEMA_DIR" "$WORK/r.sarif" 3 "$SRC/examples/word_list.cpp" 17
grep -q '"level":"note","message":{"text":"40 bytes in 5 blocks still reachable.*"class":"reachable"' "$WORK/r.sarif" ||
    fail "no class in the SARIF file"
printf '*word_list.cpp(17)\n' >"$WORK/rules.txt"
launch --no-inject --leak-exit-code 7 --suppress "$(windows "$WORK/rules.txt")" $host
[ "$status" = 0 ] || fail "exit code $status without lost groups"
grep -A1 '^Tarnwick: Lost blocks' "$WORK/out" | grep -qx 'None.' || fail "lost section not empty"
grep -qx 'Tarnwick: 6 still reachable blocks in 2 groups (shown with --show-reachable)' "$WORK/out" ||
    fail "reachable groups not summed up: $(cat "$WORK/out")"

# In a 32-bit prefix, as on 32-bit Windows, where memory lies otherwise: every
# block a generated program drops (3,000 of them never stored) is lost,
# however the program ends. The prefix has a server of its own for the run.
prefix32=$BIN/wineprefix32
export WINEPREFIX=$prefix32 WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
wineserver -p </dev/null >/dev/null 2>&1 || true
wine wineboot </dev/null >/dev/null 2>&1
for how in return exit ExitProcess; do
    wine "$BIN/bin/tarnwick.exe" "$(windows "$BIN/bin/gen_sites_1.exe")" $how </dev/null >"$WORK/out" 2>"$WORK/err" || true
    grep -qx 'tarnwick: the report lists 3021 lost blocks in 22 groups and 0 still reachable blocks in 0 groups' \
        "$WORK/err" || { wineserver -k; fail "32-bit prefix, $how: $(cat "$WORK/err")"; }
done
wineserver -k </dev/null >/dev/null 2>&1 || true
echo "report_files_test: passed"
