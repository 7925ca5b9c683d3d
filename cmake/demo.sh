#!/usr/bin/env bash
# Sets up everything on a fresh machine, builds, and runs the unmodified
# example word_list.exe, 32-bit and 64-bit, under the one launcher
# tarnwick.exe, which prints Tarnwick's report for each.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$BUILD/bin"
wine tarnwick.exe word_list.exe
wine tarnwick.exe 'x64\word_list.exe'
