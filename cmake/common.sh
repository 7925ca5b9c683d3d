# Shared by demo.sh and test.sh: install what is missing, configure and build
# both architectures (x86 in $BUILD, x64 in $BUILD/x64 with its programs in
# $BUILD/bin/x64), and keep one wineserver alive for the build tree's 64-bit
# prefix, where programs of both kinds run, until the script ends.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TARNWICK_BUILD:-$ROOT/build}

bash "$ROOT/cmake/setup.sh" ${TARNWICK_SETUP_TESTS:+--tests "$BUILD"}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/i686-mingw.cmake" >/dev/null
cmake -S "$ROOT" -B "$BUILD/x64" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/x86_64-mingw.cmake" \
    -DTARNWICK_RUNTIME_OUTPUT_DIRECTORY="$BUILD/bin/x64" -DTARNWICK_WINEPREFIX="$BUILD/wineprefix" >/dev/null
cmake --build "$BUILD" -j"$(nproc)" >"$BUILD/build.log" 2>&1 || { cat "$BUILD/build.log"; exit 1; }
cmake --build "$BUILD/x64" -j"$(nproc)" >"$BUILD/x64/build.log" 2>&1 || { cat "$BUILD/x64/build.log"; exit 1; }

export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
unset WINEARCH
# A prefix made 32-bit by an earlier version of these scripts cannot run
# 64-bit programs: it is made again.
if grep -qs '^#arch=win32' "$WINEPREFIX/system.reg"; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
fi
# Start a persistent server, then boot the prefix (created on first use),
# before any test runs: the server and Wine's services must not hold CTest's
# output pipe open. "-p" only works when it starts the server: once wineboot
# has started one, "-p" fails and that server quits when it falls idle, so
# every later program pays for a new one. A server left over from an earlier
# run is replaced.
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT
mkdir -p "$WINEPREFIX"
if ! wineserver -p </dev/null >/dev/null 2>&1; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1
fi
wine wineboot </dev/null >/dev/null 2>&1
