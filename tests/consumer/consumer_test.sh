#!/usr/bin/env bash
# Follows the README's instructions for using the library in one's own program,
# as written: install both builds' packages and build tests/consumer/project
# against each, build the same program with add_subdirectory and with the
# compiler alone, run each under the runner and compare the report with the
# README's sample. Every command, file and output used here must appear in the
# README word for word.
#   consumer_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SRC=$1
BIN=$2
# The runner that relays a program's debug strings, as built and installed,
# with the options that make it only relay them.
RUNNER="tarnwick.exe --no-inject"

export WINEDEBUG=-all WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
README=$(cat "$SRC/README.md")
PROJECT=$SRC/tests/consumer/project
WORK=$BIN/consumer-test
fail() { echo "consumer_test: $*" >&2; exit 1; }

# The README shows code and output indented by four spaces.
readme_has() {
    local block
    block=$(sed 's/^/    /; s/^ *$//' <<<"$1")
    [[ "$README" == *"$block"* ]] || fail "the README does not hold, word for word:"$'\n'"$block"
}

# Addresses and the directory of the source vary from run to run and machine
# to machine; everything else must be as the README shows it.
normalise() { sed -E 's/\r$//; s/0x([0-9A-F]{8}){1,2}/0x________/g; s/^Z:\\[^(]*\\(leakcheck\.c\()/\1/'; }

# Compares a program's output with a README sample, in which a line "..."
# stands for one or more lines.
matches_sample() {
    local sample=$1 output=$2
    readme_has "$sample"
    awk 'NR == FNR { s[++n] = $0; next } { o[++m] = $0 }
        END {
            for (i = 1; i <= n; i++) {
                if (s[i] == "...") {
                    j++
                    if (i == n) exit 0
                    while (j < m && o[j + 1] != s[i + 1]) j++
                    if (j >= m) { print "missing: " s[i + 1]; exit 1 }
                } else if (++j > m || o[j] != s[i]) {
                    print "expected: " s[i]; print "     got: " o[j]; exit 1
                }
            }
            if (j < m) { print "more output: " o[j + 1]; exit 1 }
        }' <(normalise <<<"$sample") <(normalise <"$output") >&2 || fail "output differs from the README: $output"
}

# The README's commands run from the checkout with the build in build/; a
# mirror of that layout lets them run as written whatever the build directory.
rm -rf "$WORK" "$BIN/install" "$BIN/consumer" "$BIN/consumer-x64" "$BIN/leakcheck.exe" "$BIN/Tarnwick.dll"
mkdir -p "$WORK/checkout"
ln -s "$SRC/include" "$SRC/tests" "$SRC/cmake" "$WORK/checkout/"
ln -s "$BIN" "$WORK/checkout/build"
# Runs a README block in the mirror, its output into the named file.
run_readme() {
    readme_has "$1"
    (cd "$WORK/checkout" && bash -euo pipefail -c "$1") >"$WORK/$2" || fail "failed: $1"
}

readme_has "$(cat "$PROJECT/leakcheck.c")"
readme_has "$(sed '/^# Above: the README/,$d' "$PROJECT/CMakeLists.txt" | sed '$d')"
REPORT='Tarnwick: memory leak detector loaded; see the README for how to read its report.

Tarnwick: leak report of the memory leak detector; see its README for how to read it.

Tarnwick: Memory leak dump
Memory block 7 bytes at 0x00740F88 (1 times)
Z:\work\main\tests\consumer\project\leakcheck.c(9) : 0x004015E2
Z:\work\main\tests\consumer\project\leakcheck.c(28) : 0x00401672
...



Tarnwick: leak report of the memory leak detector; see its README for how to read it.

1 leaked block(s): leaked'

# The installed package of both builds in one prefix, found with find_package
# for each architecture; the one launcher runs both programs.
run_readme 'cmake --install build --prefix build/install
cmake --install build/x64 --prefix build/install' install.txt
for targets in TarnwickTargets.cmake x64/TarnwickTargets.cmake; do
    grep -q "^add_executable(Tarnwick::${RUNNER%%.exe*} IMPORTED)" "$BIN/install/lib/cmake/Tarnwick/$targets" ||
        fail "$targets does not define Tarnwick::${RUNNER%%.exe*}"
done
for arch in i686:consumer x86_64:consumer-x64; do
    run_readme "cmake -S tests/consumer/project -B build/${arch#*:} \\
    -DCMAKE_TOOLCHAIN_FILE=\$PWD/cmake/${arch%:*}-mingw.cmake -DCMAKE_PREFIX_PATH=\$PWD/build/install
cmake --build build/${arch#*:}" "${arch#*:}-build.txt"
    run_readme "WINEPREFIX=\$PWD/build/wineprefix wine build/install/bin/$RUNNER build/${arch#*:}/leakcheck.exe" \
        "${arch#*:}.txt"
    matches_sample "$REPORT" "$WORK/${arch#*:}.txt"
    # The C++ program checks the exports, the ordinals and the version itself.
    (cd "$BIN/${arch#*:}" && WINEPREFIX=$BIN/wineprefix wine apicheck.exe) >"$WORK/apicheck.txt" ||
        fail "apicheck (${arch%:*}) failed: $(cat "$WORK/apicheck.txt")"
done

# The compiler alone, against the build tree, with a plain -g (DWARF 5).
run_readme "i686-w64-mingw32-gcc -g -fno-omit-frame-pointer -I include \\
    tests/consumer/project/leakcheck.c -L build/lib -lTarnwick -o build/leakcheck.exe
cp build/bin/Tarnwick.dll build/
WINEPREFIX=\$PWD/build/wineprefix wine build/bin/$RUNNER build/leakcheck.exe" plain.txt
matches_sample "$REPORT" "$WORK/plain.txt"

# add_subdirectory: the DLL and the runner land beside the program; no test,
# and so no GoogleTest, is configured.
SUBDIR='cmake_minimum_required(VERSION 3.21)
project(LeakCheck C)

add_subdirectory(tarnwick)
add_executable(leakcheck leakcheck.c)
target_link_libraries(leakcheck PRIVATE Tarnwick::Tarnwick)'
readme_has "$SUBDIR"
mkdir "$WORK/subdir"
printf '%s\n' "$SUBDIR" >"$WORK/subdir/CMakeLists.txt"
ln -s "$SRC" "$WORK/subdir/tarnwick"
cp "$PROJECT/leakcheck.c" "$WORK/subdir/"
cmake -S "$WORK/subdir" -B "$WORK/subdir/build" -DCMAKE_TOOLCHAIN_FILE="$SRC/cmake/i686-mingw.cmake" >"$WORK/subdir.txt"
cmake --build "$WORK/subdir/build" -j2 >>"$WORK/subdir.txt" || fail "add_subdirectory build failed: $WORK/subdir.txt"
[ ! -e "$WORK/subdir/build/tarnwick/tests" ] || fail "add_subdirectory configured the tests"
(cd "$WORK" && WINEPREFIX=$BIN/wineprefix wine subdir/build/$RUNNER subdir/build/leakcheck.exe) >"$WORK/subdir-run.txt"
matches_sample "$REPORT" "$WORK/subdir-run.txt"

# The version as the README shows it.
readme_has 'i686-w64-mingw32-windres build/bin/Tarnwick.dll | grep FileVersion'
readme_has "$(i686-w64-mingw32-windres "$BIN/bin/Tarnwick.dll" | grep FileVersion)"
echo "consumer_test: the README's recipes hold"
