# Shared by demo.sh and test.sh: install what is missing, configure and build,
# and keep one wineserver alive for the private prefix until the script ends.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${TARNWICK_BUILD:-$ROOT/build}

bash "$ROOT/cmake/setup.sh" ${TARNWICK_SETUP_TESTS:+--tests "$BUILD"}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/i686-mingw.cmake" >/dev/null
cmake --build "$BUILD" -j"$(nproc)" >"$BUILD/build.log" 2>&1 || { cat "$BUILD/build.log"; exit 1; }

export WINEPREFIX="$BUILD/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"
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
