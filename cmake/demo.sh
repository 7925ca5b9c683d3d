#!/usr/bin/env bash
# Sets up everything on a fresh machine, builds, and runs the leaky example
# under dbgrun, which prints Tarnwick's report.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$BUILD/bin"
wine dbgrun.exe leaky.exe
