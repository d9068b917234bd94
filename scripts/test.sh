#!/usr/bin/env bash
# Installs what the tests need, builds every preset CI checks and runs all tests: the Linux
# presets under a private virtual display each, then the Windows cross build under wine (its unit
# tests and checks of the executable, a second build that must be identical, a signature made
# with a throw-away certificate, then the end-to-end scenarios against the signed executable).
# Usage: scripts/test.sh [preset...]   (default: default asan tsan fuzz windows; fuzz runs the
# fuzz targets for a bounded time)
# The exit status is non-zero when any phase failed; the output ends with CTest's summary of the
# last phase.
set -uo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default filelist asan tsan fuzz windows)

status=0
summary=()
last_log=""
logs="$(mktemp -d)"

# Runs one phase, timing it and noting its outcome; its output is kept for the final summary.
phase() {
  local name="$1" started rc
  shift
  echo "=== $name ==="
  started=$(date +%s)
  "$@" 2>&1 | tee "$logs/$name.log"
  rc=${PIPESTATUS[0]}
  last_log="$logs/$name.log"
  summary+=("$(printf '%-14s %-6s %5ss' "$name" "$([ "$rc" -eq 0 ] && echo passed || echo FAILED)" \
    "$(($(date +%s) - started))")")
  [ "$rc" -eq 0 ] || status=1
}

linux_preset() {
  local preset="$1"
  cmake --preset "$preset" >/dev/null || return 1
  cmake --build --preset "$preset" -j"$(nproc)" || return 1
  # The window tests need a display: every preset runs under a private virtual one.
  # A test whose process could not reach the shared display ("Can't open display") gets one more
  # run; a fault of the program fails both runs.
  xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96 -maxclients 1024" \
    ctest --preset "$preset" -j2 --timeout 300 --repeat until-pass:2
}

# The scenarios of the signed file list start the product built with the test key, in a tree of
# its own that builds only the product; the tests themselves are the default preset's.
filelist_preset() {
  cmake --preset filelist >/dev/null || return 1
  cmake --build --preset filelist || return 1
  if [ ! -f build/CMakeCache.txt ]; then cmake --preset default >/dev/null || return 1; fi
  cmake --build --preset default -j"$(nproc)" --target e2e_test || return 1
  xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" ctest --preset filelist --repeat until-pass:2
}

# --- The Windows phase: a display of its own, the build tree's wine prefix, every wine call
# bounded in time. No window manager: wine's windows and message boxes take the tests' clicks and
# keys without one, while under one a box can show before its title is set and Alt+F4 closes the
# window.
x_pids=()
stop_display() {
  for p in "${x_pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
  x_pids=()
}

start_display() {
  local n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1280x1024x24 -dpi 96 -nolisten tcp >/dev/null 2>&1 &
  x_pids+=($!)
  export DISPLAY=":$n"
  for _ in $(seq 50); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
}

# One wine server for the phase, and wine's own services started now with no output to hold:
# started later by a test under CTest, they would keep its output pipe open and CTest waiting.
# Each wine call then starts in a fraction of a second.
start_wine() {
  timeout 30 wineserver -p
  timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1
}

windows_build() {
  scripts/install-windows-deps.sh >/dev/null || return 1
  cmake --preset windows >/dev/null || return 1
  cmake --build --preset windows || return 1
  echo "--- figures"
  scripts/windows-checks.sh size build-windows/setup.exe
  scripts/windows-checks.sh imports build-windows/setup.exe
}

# A second clean build of setup.exe in another folder must give the same bytes.
windows_reproducible() {
  local other rc
  other="$(mktemp -d)/again"
  cmake -S . -B "$other" --toolchain "$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DLIBJPEG_TURBO_TARBALL="$(ls build-windows/src/libjpeg-turbo_*.orig.tar.* | head -1)" \
    >/dev/null || return 1
  cmake --build "$other" -j2 --target setup >/dev/null || return 1
  scripts/windows-checks.sh same build-windows/setup.exe "$other/setup.exe"
  rc=$?
  rm -rf "$(dirname "$other")"
  return $rc
}

# Signs the executables as the vendor would, with a throw-away code-signing certificate, into
# build-windows/signed; the end-to-end scenarios then run the signed setup.exe.
windows_sign() {
  local keys rc=0
  keys="$(mktemp -d)"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Drovanetix test signing" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>/dev/null &&
    openssl pkcs12 -export -inkey "$keys/key.pem" -in "$keys/cert.pem" -out "$keys/sign.p12" \
      -passout pass:throwaway || rc=1
  [ $rc -eq 0 ] && { SIGN_PKCS12="$keys/sign.p12" SIGN_PASSWORD=throwaway \
    scripts/sign-windows.sh build-windows build-windows/signed || rc=1; }
  if [ $rc -eq 0 ]; then
    for exe in build-windows/signed/setup.exe build-windows/signed/products/*.exe; do
      scripts/windows-checks.sh signed "$exe" "$keys/cert.pem" || rc=1
    done
    echo "signed size: $(stat -c %s build-windows/signed/setup.exe) bytes"
  fi
  rm -rf "$keys"
  return $rc
}

windows_tests() {
  # shellcheck source=wine-env.sh
  source scripts/wine-env.sh
  wine_stop
  local started=$(date +%s) rc
  wine_init || return 1
  echo "wine prefix ready in $(($(date +%s) - started)) s: $WINEPREFIX"
  start_display
  start_wine
  ctest --preset windows
  rc=$?
  stop_display
  wine_stop
  return $rc
}

windows_e2e() {
  # The scenarios are the native end-to-end tests, built by the default preset, pointed at the
  # Windows build.
  if [ ! -f build/CMakeCache.txt ]; then cmake --preset default >/dev/null || return 1; fi
  cmake --build --preset default -j"$(nproc)" --target e2e_test || return 1
  source scripts/wine-env.sh
  start_display
  start_wine
  [ -f build-windows/signed/setup.exe ] || return 1
  E2E_WIN32_EXECUTABLE="$repo/build-windows/signed/setup.exe" ctest --preset windows-e2e
  local rc=$?
  stop_display
  wine_stop
  return $rc
}

# The same scenarios against the Windows build with the test key; it takes the codec and the icon
# maker of build-windows, and runs in its wine prefix.
windows_filelist() {
  cmake --preset windows-filelist >/dev/null || return 1
  cmake --build --preset windows-filelist || return 1
  # With the check compiled in, the goal is 300 KB.
  local size
  size=$(stat -c %s build-windows-filelist/setup.exe) || return 1
  echo "setup.exe with a vendor key: $size bytes, goal at most 300 KB"
  [ "$size" -le 307200 ] || return 1
  if [ ! -f build/CMakeCache.txt ]; then cmake --preset default >/dev/null || return 1; fi
  cmake --build --preset default -j"$(nproc)" --target e2e_test || return 1
  source scripts/wine-env.sh
  start_display
  start_wine
  ctest --preset windows-filelist-e2e
  local rc=$?
  stop_display
  wine_stop
  return $rc
}

# The release command with a throw-away certificate and the test list key: it refuses to run
# without either, then makes a release of two products end to end (MERONA under wine through
# squid from nginx). Built with the test key, its setup.exe must be the windows-filelist
# build's, byte for byte.
release_check() {
  local work out rc=0 key=tests/data/file-list-test-key.pem
  work="$(mktemp -d)"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Drovanetix test release" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null &&
    openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/sign.p12" \
      -passout pass:throwaway || rc=1
  mkdir -p "$work/files/merona" "$work/files/tavoskel"
  for f in pravl32 ntdll qtintf70 merona Firebird-32 Firebird-64 dobrin tavos lumet; do
    head -c $((20000 + RANDOM)) /dev/urandom >"$work/files/merona/$f.zip"
  done
  mv "$work/files/merona/tavos.zip" "$work/files/merona/lumet.zip" "$work/files/tavoskel/"
  for p in merona tavoskel; do
    cp build-windows/tools/fake-setup/fake-setup.exe "$work/files/$p/setup.zip" || rc=1
  done
  export SIGN_PASSWORD=throwaway
  echo "--- refusals"
  out="$(scripts/release.sh --pkcs12 "$work/sign.p12" --files "$work/files" 2>&1)" && rc=1
  echo "$out"
  grep -q "no list key" <<<"$out" || rc=1
  out="$(scripts/release.sh --list-key "$key" --files "$work/files" 2>&1)" && rc=1
  echo "$out"
  grep -q "no certificate" <<<"$out" || rc=1
  echo "--- a release"
  [ $rc -eq 0 ] && { scripts/release.sh --list-key "$key" --pkcs12 "$work/sign.p12" \
    --files "$work/files" --out "$work/upload" || rc=1; }
  [ $rc -eq 0 ] && { (cd "$work/upload" && sha256sum --quiet -c SHA256SUMS) || rc=1; }
  [ $rc -eq 0 ] && [ -f build-windows-filelist/setup.exe ] && { scripts/windows-checks.sh same \
    build-windows-filelist/setup.exe build-release/windows/setup.exe || rc=1; }
  rm -rf "$work"
  return $rc
}

trap 'stop_display; rm -rf "$logs"' EXIT

phase install scripts/install-deps.sh
for preset in "${presets[@]}"; do
  case "$preset" in
    windows)
      phase windows-build windows_build
      phase windows-repro windows_reproducible
      phase windows-sign windows_sign
      phase windows windows_tests
      phase windows-e2e windows_e2e
      phase windows-filelist windows_filelist
      phase release release_check
      ;;
    fuzz) phase fuzz scripts/fuzz.sh ;;
    filelist) phase filelist filelist_preset ;;
    *) phase "$preset" linux_preset "$preset" ;;
  esac
done

echo "=== summary ==="
printf '%s\n' "${summary[@]}"
# CTest's own closing lines of the last phase, last.
[ -n "$last_log" ] && sed -n '/tests passed, /,$p' "$last_log"
exit $status
