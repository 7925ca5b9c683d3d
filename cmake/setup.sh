#!/usr/bin/env bash
# Turns a fresh Debian 12 machine into a build-and-test machine for Tarnwick:
# mingw-w64 i686 and x86-64 (posix threads), 32- and 64-bit Wine, CMake and GoogleTest sources,
# Zydis with a host C compiler for the copier tests' data, and clang, lld and
# LLVM's tools for the test programs with PDB debug information.
# With --tests BUILD_DIR also what the report-file test needs: Chromium, and
# the SARIF 2.1.0 schema with a validator from npm, in BUILD_DIR/npm.
# Idempotent and quiet; returns at once when everything is already there.
set -euo pipefail
tests_build=
[ "${1:-}" = --tests ] && tests_build=$2
schema_package=@microsoft/jest-sarif@1.0.0-beta.0
schema=$tests_build/npm/node_modules/@microsoft/jest-sarif/lib/schemas/sarif-2.1.0-rtm.5.json

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-i686-posix)
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
command -v i686-w64-mingw32-dlltool >/dev/null 2>&1 || need+=(binutils-mingw-w64-i686)
command -v i686-w64-mingw32-widl >/dev/null 2>&1 || need+=(mingw-w64-tools)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v make >/dev/null 2>&1 || need+=(make)
command -v python3 >/dev/null 2>&1 || need+=(python3)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
# The copier tests measure their encodings with Zydis, on this machine.
command -v cc >/dev/null 2>&1 || need+=(gcc)
[ -f /usr/include/Zydis/Zydis.h ] || need+=(libzydis-dev)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine wine32:i386 wine64)
# Test programs as the platform toolchain builds them (CodeView in a PDB):
# clang, lld and llvm-objcopy; llvm-symbolizer is the second opinion of the
# line reader's comparison with addr2line.
command -v clang >/dev/null 2>&1 || need+=(clang)
command -v ld.lld >/dev/null 2>&1 || need+=(lld)
command -v llvm-objcopy >/dev/null 2>&1 || need+=(llvm)
command -v llvm-symbolizer >/dev/null 2>&1 || need+=(llvm)
if [ -n "$tests_build" ]; then
    command -v chromium >/dev/null 2>&1 || need+=(chromium)
    command -v npm >/dev/null 2>&1 || need+=(nodejs npm)
fi
install_schema() {
    if [ -z "$tests_build" ] || [ -f "$schema" ]; then return 0; fi
    echo "setup: installing $schema_package into $tests_build/npm" >&2
    mkdir -p "$tests_build/npm"
    npm install --prefix "$tests_build/npm" --no-save --no-audit --no-fund --loglevel=error "$schema_package" >/dev/null
}
[ ${#need[@]} -eq 0 ] && { install_schema; exit 0; }

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
echo "setup: installing ${need[*]}" >&2
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
install_schema
