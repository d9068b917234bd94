#!/usr/bin/env bash
# Installs what the tests need, builds every preset CI checks and runs all tests.
# Usage: scripts/test.sh [preset...]   (default: default asan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default asan tsan)

status=0
for preset in "${presets[@]}"; do
  echo "=== preset $preset ==="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$(nproc)"
  # The window tests need a display: every preset runs under a private virtual one.
  xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
    ctest --preset "$preset" -j2 --timeout 300 || status=1
done
exit $status
