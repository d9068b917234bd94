#!/usr/bin/env bash
# Runs a Windows test program under wine in the build tree's prefix; CTest's emulator for the
# Windows build. The build tree is the one holding the program.
set -u
program="$1"
shift
dir="$(cd "$(dirname "$program")" && pwd)"
while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir="$(dirname "$dir")"; done
[ -f "$dir/CMakeCache.txt" ] && export WINE_BUILD_DIR="$dir"
# shellcheck source=wine-env.sh
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
wine_run "$program" "$@"
