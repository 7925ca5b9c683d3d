#!/usr/bin/env bash
# Turns a fresh Debian 12 machine into a build-and-test machine for Tarnwick:
# mingw-w64 i686 (posix threads), 32-bit Wine, CMake and GoogleTest sources.
# Idempotent and quiet; returns at once when everything is already there.
set -euo pipefail

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-i686-posix)
command -v i686-w64-mingw32-dlltool >/dev/null 2>&1 || need+=(binutils-mingw-w64-i686)
command -v i686-w64-mingw32-widl >/dev/null 2>&1 || need+=(mingw-w64-tools)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine wine32:i386 wine64)
[ ${#need[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
echo "setup: installing ${need[*]}" >&2
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
