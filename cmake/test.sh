#!/usr/bin/env bash
# Sets up everything on a fresh machine, builds, and runs every test.
TARNWICK_SETUP_TESTS=1
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ctest --test-dir "$BUILD" --output-on-failure --timeout 600
