#!/usr/bin/env bash
# Sets up everything on a fresh machine, builds, and runs every test.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ctest --test-dir "$BUILD" --output-on-failure --timeout 600
