#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzzing with clang's libFuzzer (address and undefined behaviour
# sanitizers on) and runs each for a bounded time from its committed seed corpus. New inputs go to
# a scratch folder; a crash leaves its input in build-fuzz/ and fails the run.
# Usage: scripts/fuzz.sh [seconds per target]   (default 6)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-6}"
out=build-fuzz
mkdir -p "$out"
cxx=(clang++-14 -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
     -Isrc -Isrc/platform -Itools/vendor-server)

# Each target with the sources it needs.
declare -A sources=(
  [strtoint]="src/toolkit/sysutils.cpp src/platform/windows-posix.cpp src/platform/codepage.cpp"
  [responsehead]="src/platform/responsehead-posix.cpp"
  [request]="tools/vendor-server/server.cpp"
  [utility]="src/_utility.cpp"
)

status=0
for name in strtoint responsehead request utility; do
  # shellcheck disable=SC2086
  "${cxx[@]}" -o "$out/${name}_fuzzer" "tests/fuzzing/${name}_fuzzer.cc" ${sources[$name]} -lpthread
  scratch="$out/${name}_new"
  rm -rf "$scratch" && mkdir -p "$scratch"
  echo "--- $name: ${seconds} s"
  if ! "$out/${name}_fuzzer" "$scratch" "tests/fuzzing/${name}_corpus" -max_total_time="$seconds" \
      -artifact_prefix="$out/${name}-" -print_final_stats=1 2>&1 | tail -n 12; then
    status=1
  fi
done
exit $status
