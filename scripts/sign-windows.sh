#!/usr/bin/env bash
# Signs the Windows executables of a build with Authenticode: setup.exe and the five product
# copies, written signed into OUT_DIR (the build's own files stay unsigned, so that a build can
# still be compared byte for byte with another).
# Usage: scripts/sign-windows.sh [BUILD_DIR [OUT_DIR]]
#   BUILD_DIR  the windows preset's build tree (default: build-windows)
#   OUT_DIR    where the signed files go (default: BUILD_DIR/signed; products/ below it)
# Environment:
#   SIGN_PKCS12             the code-signing certificate with its private key (PKCS#12 file)
#   SIGN_PASSWORD           the password of that file
#   SIGN_TIMESTAMP_URL      optional: an RFC 3161 time-stamp server, so that the signature stays
#                           valid after the certificate has expired
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$repo/build-windows}"
out="${2:-$build/signed}"
# shellcheck source=products.sh
source "$repo/scripts/products.sh"

fail() {
  echo "sign-windows: $*" >&2
  exit 1
}

[ -n "${SIGN_PKCS12:-}" ] && [ -f "$SIGN_PKCS12" ] || fail "SIGN_PKCS12 names no file"
[ -n "${SIGN_PASSWORD+set}" ] || fail "SIGN_PASSWORD is not set"
command -v osslsigncode >/dev/null || fail "osslsigncode is missing (scripts/install-windows-deps.sh)"
[ -f "$build/setup.exe" ] || fail "no $build/setup.exe: build the windows preset first"

# The password reaches osslsigncode through a pipe, never its command line.
sign() {
  local args=(sign -pkcs12 "$SIGN_PKCS12" -readpass /dev/stdin -h sha256
    -n "Drovanetix web installer" -in "$1" -out "$2")
  [ -n "${SIGN_TIMESTAMP_URL:-}" ] && args+=(-ts "$SIGN_TIMESTAMP_URL")
  rm -f "$2"
  printf '%s' "$SIGN_PASSWORD" | osslsigncode "${args[@]}" >/dev/null || fail "signing $1 failed"
  echo "signed: $2"
}

mkdir -p "$out/products"
sign "$build/setup.exe" "$out/setup.exe"
for name in $(product_names); do
  sign "$build/products/$name.exe" "$out/products/$name.exe"
done
