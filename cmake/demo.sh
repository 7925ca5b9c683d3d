#!/usr/bin/env bash
# Sets up everything on a fresh machine, builds, and runs the unmodified
# example word_list.exe under the launcher, which prints Tarnwick's report.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$BUILD/bin"
wine tarnwick.exe word_list.exe
