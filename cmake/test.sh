#!/usr/bin/env bash
# Sets up everything on a fresh machine, builds, and runs every test: the x86
# suite, then the x64 suite. Fails when either fails.
TARNWICK_SETUP_TESTS=1
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
status=0
# The launcher tests start hundreds of Wine processes, and Wine 8 now and then
# fails one (a process that does not start, a client error on a pipe): their
# program runs once more when it fails, and a fault fails both runs. ctest's
# log keeps the failed run.
suite() {
    ctest --test-dir "$1" --output-on-failure --timeout 600 -E '^runner_test$' || status=1
    ctest --test-dir "$1" --output-on-failure --timeout 600 -R '^runner_test$' --repeat until-pass:2 || status=1
}
echo "== x86 tests"
suite "$BUILD"
echo "== x64 tests"
suite "$BUILD/x64"
exit $status
