#!/usr/bin/env bash
# Installs what the tests need, builds every preset CI checks and runs all tests: the Linux
# presets (each window test on a virtual display of its own), the fuzz targets for a bounded time, then the Windows
# cross build under wine (its unit tests and checks of the executable, a second build that must be
# identical, a signature made with a throw-away certificate, then the end-to-end scenarios against
# the signed executable).
# Usage: scripts/test.sh [preset...]   (default: default filelist asan tsan fuzz windows)
# Every test runs once: a test that fails fails its phase. The exit status is non-zero when any
# phase failed; the output ends with CTest's summary of the last phase that ran it.
#
# A phase is a function phase_NAME, run by `run_phase NAME` from the list at the end of this file.
# It runs in a subshell of its own; the display it starts ends with it.
set -uo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default filelist asan tsan fuzz windows)

status=0
summary=()
last_log=""
logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT

# Runs one phase, timing it and noting its outcome; its output is kept for the final summary.
run_phase() {
  local name="$1" started rc
  shift
  echo "=== $name ==="
  started=$(date +%s)
  (
    trap stop_display EXIT
    "phase_${name//-/_}" "$@"
  ) 2>&1 | tee "$logs/$name.log"
  rc=${PIPESTATUS[0]}
  # The last phase that ran tests under CTest gives the closing summary.
  grep -q "tests passed, " "$logs/$name.log" && last_log="$logs/$name.log"
  summary+=("$(printf '%-16s %-6s %5ss' "$name" "$([ "$rc" -eq 0 ] && echo passed || echo FAILED)" \
    "$(($(date +%s) - started))")")
  [ "$rc" -eq 0 ] || status=1
}

# start_display and stop_display: a virtual display for a phase under wine, where the wine
# server's desktop and every test's windows share it.
# shellcheck source=with-display.sh
source scripts/with-display.sh

# --- The Linux phases

# A preset's build and its whole suite, each test once.
linux_preset() {
  local preset="$1"
  cmake --preset "$preset" >/dev/null || return 1
  cmake --build --preset "$preset" -j"$(nproc)" || return 1
  ctest --preset "$preset" -j2 --timeout 300
}

phase_default() { linux_preset default; }
phase_asan() { linux_preset asan; }
phase_tsan() { linux_preset tsan; }

# The scenarios of the signed file list start the product built with the test key, in a tree of
# its own that builds only the product; the tests themselves are the default preset's.
phase_filelist() {
  cmake --preset filelist >/dev/null || return 1
  cmake --build --preset filelist || return 1
  build_e2e_test || return 1
  ctest --preset filelist -j2
}

# The fuzz targets, built with libFuzzer and the sanitizers, each run for a bounded time from its
# seed corpus (CTest's tests of the fuzz preset). A crash leaves its input in build-fuzz/.
phase_fuzz() {
  cmake --preset fuzz >/dev/null || return 1
  cmake --build --preset fuzz || return 1
  ctest --preset fuzz
}

# The end-to-end scenarios are the native tests of the default preset.
build_e2e_test() {
  if [ ! -f build/CMakeCache.txt ]; then cmake --preset default >/dev/null || return 1; fi
  cmake --build --preset default -j"$(nproc)" --target e2e_test
}

# --- The Windows phases: the build tree's wine prefix, every wine call bounded in time.

# One wine server for the phase, and wine's own services started now with no output to hold:
# started later by a test under CTest, they would keep its output pipe open and CTest waiting.
# Each wine call then starts in a fraction of a second.
start_wine() {
  timeout 30 wineserver -p
  timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1
}

phase_windows_build() {
  scripts/install-windows-deps.sh >/dev/null || return 1
  cmake --preset windows >/dev/null || return 1
  cmake --build --preset windows || return 1
  echo "--- figures"
  scripts/windows-checks.sh size build-windows/setup.exe
  scripts/windows-checks.sh imports build-windows/setup.exe
}

# A second clean build of setup.exe in another folder must give the same bytes.
phase_windows_repro() {
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

# A throw-away code-signing certificate in DIR: cert.pem, and key and certificate in sign.p12
# (password "throwaway").
throwaway_certificate() {
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Drovanetix test signing" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
    -keyout "$1/key.pem" -out "$1/cert.pem" 2>/dev/null &&
    openssl pkcs12 -export -inkey "$1/key.pem" -in "$1/cert.pem" -out "$1/sign.p12" \
      -passout pass:throwaway
}

# Signs the executables as the vendor would, with a throw-away code-signing certificate, into
# build-windows/signed; the end-to-end scenarios then run the signed setup.exe.
phase_windows_sign() {
  local keys rc=0
  keys="$(mktemp -d)"
  throwaway_certificate "$keys" || rc=1
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

phase_windows() {
  # shellcheck source=wine-env.sh
  source scripts/wine-env.sh
  wine_stop
  local started rc
  started=$(date +%s)
  wine_init || return 1
  echo "wine prefix ready in $(($(date +%s) - started)) s: $WINEPREFIX"
  start_display || return 1
  start_wine
  ctest --preset windows
  rc=$?
  wine_stop
  return $rc
}

phase_windows_e2e() {
  # The scenarios are the native end-to-end tests, built by the default preset, pointed at the
  # Windows build.
  build_e2e_test || return 1
  source scripts/wine-env.sh
  start_display || return 1
  start_wine
  [ -f build-windows/signed/setup.exe ] || return 1
  E2E_WIN32_EXECUTABLE="$repo/build-windows/signed/setup.exe" ctest --preset windows-e2e
  local rc=$?
  wine_stop
  return $rc
}

# The same scenarios against the Windows build with the test key; it takes the codec and the icon
# maker of build-windows, and runs in its wine prefix.
phase_windows_filelist() {
  cmake --preset windows-filelist >/dev/null || return 1
  cmake --build --preset windows-filelist || return 1
  # With the check compiled in, the goal is 300 KB.
  local size
  size=$(stat -c %s build-windows-filelist/setup.exe) || return 1
  echo "setup.exe with a vendor key: $size bytes, goal at most 300 KB"
  [ "$size" -le 307200 ] || return 1
  build_e2e_test || return 1
  source scripts/wine-env.sh
  start_display || return 1
  start_wine
  ctest --preset windows-filelist-e2e
  local rc=$?
  wine_stop
  return $rc
}

# The release command with a throw-away certificate and the test list key: it refuses to run
# without either, then makes a release of two products end to end (MERONA under wine through
# squid from nginx). Built with the test key, its setup.exe must be the windows-filelist
# build's, byte for byte.
phase_release() {
  local work out rc=0 key=tests/data/file-list-test-key.pem
  work="$(mktemp -d)"
  throwaway_certificate "$work" || rc=1
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

phase_install() { scripts/install-deps.sh; }

run_phase install
for preset in "${presets[@]}"; do
  case "$preset" in
    windows)
      for name in windows-build windows-repro windows-sign windows windows-e2e windows-filelist release; do
        run_phase "$name"
      done
      ;;
    default | filelist | asan | tsan | fuzz) run_phase "$preset" ;;
    *)
      echo "unknown preset: $preset" >&2
      status=1
      ;;
  esac
done

echo "=== summary ==="
printf '%s\n' "${summary[@]}"
# CTest's own closing lines of the last phase that ran it, last.
[ -n "$last_log" ] && sed -n '/tests passed, /,$p' "$last_log"
exit $status
