#!/usr/bin/env bash
# Makes a release of the Windows installer, ready to upload: builds the windows preset with the
# vendor's public list key, signs the six executables (Authenticode), writes each product's
# signed file list, verifies every signature and list, runs the keyed MERONA installer under wine
# against the files as nginx serves them through squid, and writes SHA256SUMS and a summary.
#
# Usage: scripts/release.sh --list-key KEY.pem --pkcs12 CERT.p12 --files FOLDER [options]
#   --list-key KEY.pem    the vendor's private key for the file lists (file-list-sign keygen)
#   --pkcs12 CERT.p12     the code-signing certificate with its private key; the password comes
#                         from SIGN_PASSWORD or --password-file
#   --files FOLDER        the server's /download/ folder as it will go up: a folder per product,
#                         named exactly as its executable (merona/, tavoskel/, ...), holding its
#                         files; MERONA's is needed for the smoke test
#   --password-file FILE  the certificate's password, in a file
#   --timestamp-url URL   an RFC 3161 time-stamp server for the signatures. Wanted for a
#                         release: without a time stamp a signature ends with the certificate.
#                         Left out (as in CI, which has no time-stamp server), the executables
#                         are signed without one and the summary says so
#   --out DIR             where the release goes (default: build-release/upload)
# The build tree is build-release/windows; it takes the JPEG codec and the icon maker of
# build-windows when that has been built. The smoke test uses the wine prefix of build-windows
# and a virtual display of its own when none is set.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"

refuse() {
  echo "release: $*" >&2
  exit 2
}
fail() {
  echo "release: $*" >&2
  exit 1
}
step() { echo "--- $*"; }

list_key="" pkcs12="" files="" timestamp_url="" out="$repo/build-release/upload"
while [ $# -gt 0 ]; do
  case "$1" in
    --list-key) list_key="${2:-}" ;;
    --pkcs12) pkcs12="${2:-}" ;;
    --files) files="${2:-}" ;;
    --password-file) SIGN_PASSWORD="$(cat "${2:-/nonexistent}")" || refuse "cannot read $2" ;;
    --timestamp-url) timestamp_url="${2:-}" ;;
    --out) out="${2:-}" ;;
    *) refuse "unknown argument $1 (see the head of scripts/release.sh)" ;;
  esac
  shift 2 || refuse "$1 needs a value"
done

# An installer without the list key starts whatever the network hands it; an unsigned one is
# blocked or warned about by Windows. Neither is released.
[ -n "$list_key" ] || refuse "no list key: give the vendor's private file-list key with --list-key KEY.pem (made once with file-list-sign keygen); without it the installer would start whatever the network sends"
[ -f "$list_key" ] || refuse "the list key $list_key is no file"
[ -n "$pkcs12" ] || refuse "no certificate: give the code-signing certificate and its key as a PKCS#12 file with --pkcs12 CERT.p12"
[ -f "$pkcs12" ] || refuse "the certificate $pkcs12 is no file"
[ -n "${SIGN_PASSWORD+set}" ] || refuse "no password for $pkcs12: set SIGN_PASSWORD or give --password-file FILE"
[ -n "$files" ] && [ -d "$files" ] ||
  refuse "no folder of product files: give the server's /download/ folder with --files FOLDER"
[ -d "$files/merona" ] || refuse "$files/merona is missing: the smoke test runs MERONA"
openssl pkcs12 -in "$pkcs12" -passin env:SIGN_PASSWORD -nokeys -clcerts >/dev/null 2>&1 ||
  refuse "$pkcs12 cannot be opened with that password"

tree="$repo/build-release/windows"
work="$(mktemp -d)"
servers="$work/servers"
x_pid=""
cleanup() {
  if [ -d "$servers" ]; then tests/servers/serve.sh stop "$servers" || true; fi
  if [ -n "$x_pid" ]; then kill "$x_pid" 2>/dev/null && wait "$x_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

step "the list tool and the public key"
if [ ! -f build/CMakeCache.txt ]; then cmake --preset default >/dev/null; fi
cmake --build --preset default --target file-list-sign >/dev/null
sign_tool="$repo/build/tools/file-list-sign/file-list-sign"
public_key="$("$sign_tool" pubkey "$list_key")" || refuse "$list_key holds no P-256 private key"
echo "public key: $public_key"

step "the windows preset with the key, in $tree"
rm -rf "$tree"
deps=()
[ -f build-windows/deps/jpeg/lib/libjpeg.a ] && deps=(-DWINDOWS_DEPS_FROM="$repo/build-windows")
if [ ${#deps[@]} -eq 0 ]; then scripts/install-windows-deps.sh "$tree/src" >/dev/null; fi
# Link-time optimisation is off for a build with a key, as in the windows-filelist preset: GCC 12
# can stop with an internal error there.
cmake --preset windows -B "$tree" -DFILE_LIST_KEY="$public_key" -DSETUP_LTO=OFF "${deps[@]}" \
  >/dev/null
cmake --build "$tree" -j2 --target setup >/dev/null
unsigned_sum="$(sha256sum "$tree/setup.exe" | cut -d' ' -f1)"
echo "setup.exe before signing: $unsigned_sum"

step "Authenticode signatures"
rm -rf "$out"
mkdir -p "$out"
[ -n "$timestamp_url" ] || echo "no --timestamp-url: the signatures end when the certificate does"
SIGN_PKCS12="$pkcs12" SIGN_TIMESTAMP_URL="$timestamp_url" \
  scripts/sign-windows.sh "$tree" "$out/executables"

step "signed file lists"
cp -R "$files" "$out/download"
products=()
for folder in "$out/download"/*/; do
  name="$(basename "$folder")"
  [ -f "$out/executables/products/$name.exe" ] ||
    refuse "$files/$name is no product's folder: the installers ask for /download/<executable name in its exact letter case>/ ($(cd "$out/executables/products" && ls | sed 's/\.exe$//' | tr '\n' ' '))"
  rm -f "$folder/files.sig"
  "$sign_tool" sign "$list_key" "${name^^}" "$folder"
  products+=("$name")
done

step "verification with the public key and the certificate"
openssl pkcs12 -in "$pkcs12" -passin env:SIGN_PASSWORD -nokeys -clcerts 2>/dev/null |
  openssl x509 >"$work/cert.pem"
for exe in "$out/executables/setup.exe" "$out/executables/products"/*.exe; do
  scripts/windows-checks.sh signed "$exe" "$work/cert.pem" || fail "$exe: the signature does not verify"
done
for name in "${products[@]}"; do
  "$sign_tool" verify "$public_key" "${name^^}" "$out/download/$name" ||
    fail "the list of $name does not verify"
done

step "smoke test: MERONA under wine, through squid, from nginx"
mkdir -p "$work/root"
ln -s "$out/download" "$work/root/download"
squid_port="$(tests/servers/serve.sh start "$servers" "$work/root" | awk '$1 == "squid" {print $2}')"
[ -n "$squid_port" ] || fail "nginx and squid did not start"
# shellcheck source=wine-env.sh
source scripts/wine-env.sh
if [ -z "${DISPLAY:-}" ]; then
  # shellcheck source=with-display.sh
  source scripts/with-display.sh
  start_display >/dev/null || fail "no virtual display for the smoke test"
fi
wine_proxy "$squid_port" || fail "cannot set the proxy of $WINEPREFIX"
mkdir -p "$work/bin"
cp "$out/executables/products/merona.exe" "$work/bin/merona.exe"
(cd "$work/bin" && exec timeout 120 wine merona.exe) >"$work/merona.log" 2>&1 &
installer=$!
window=""
for _ in $(seq 300); do
  window="$(xdotool search --onlyvisible --name '^MERONA$' 2>/dev/null | head -1)" && [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || fail "the MERONA window did not show"
# The English flag.
xdotool mousemove --window "$window" 320 58 click 1
wait "$installer" || fail "MERONA did not end well: $(cat "$work/merona.log")"
wine_stop
log="$servers/nginx/access.log"
if grep -v ' 200 ' "$log" | grep -q .; then fail "requests that failed: $(grep -v ' 200 ' "$log")"; fi
grep -q '"GET /download/merona/files.sig ' "$log" || fail "MERONA did not ask for its list: is the key built in?"
grep -q '"GET /programy/setup.asp?telefon=XXX&co=stazeno%20OK ' "$log" ||
  fail "MERONA did not report success: $(cat "$log")"
echo "MERONA fetched $(grep -c '"GET /download/merona/' "$log") files and reported success"

step "checksums and summary"
(cd "$out" && find executables download -type f | LC_ALL=C sort | xargs sha256sum >SHA256SUMS)
{
  echo "Release of $(git describe --always --dirty 2>/dev/null || echo "an unknown commit")"
  echo "File-list key (FILE_LIST_KEY): $public_key"
  echo "setup.exe before signing: $unsigned_sum (a build of this commit with this key gives the same)"
  if [ -n "$timestamp_url" ]; then
    echo "Signed with a time stamp from $timestamp_url"
  else
    echo "Signed WITHOUT a time stamp: the signatures end when the certificate does"
  fi
  echo
  echo "Upload to the download server, as they are here (the site's root holds download/):"
  for name in "${products[@]}"; do
    echo "  download/$name/ -> /download/$name/ ($(find "$out/download/$name" -type f | wc -l) files, files.sig among them)"
  done
  echo "Offer to customers (signed):"
  echo "  executables/products/*.exe (one per product) and executables/setup.exe"
  echo "SHA256SUMS lists every file of the release."
} | tee "$out/SUMMARY.txt"
