#!/usr/bin/env bash
# Sets up everything on a fresh machine, builds, and runs every test: the x86
# suite, then the x64 suite. Fails when either fails.
TARNWICK_SETUP_TESTS=1
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
status=0
echo "== x86 tests"
ctest --test-dir "$BUILD" --output-on-failure --timeout 600 || status=1
echo "== x64 tests"
ctest --test-dir "$BUILD/x64" --output-on-failure --timeout 600 || status=1
exit $status
