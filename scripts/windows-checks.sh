#!/usr/bin/env bash
# Checks of the Windows executable itself, each printing what it measured:
#   windows-checks.sh size EXE       at most 224 KB
#   windows-checks.sh imports EXE    static imports only of DLLs that the system always loads from
#                                    its own folder (see system_dlls)
#   windows-checks.sh icon EXE       a group icon of one 32 x 32 image in 16 colours
#   windows-checks.sh manifest EXE   the manifest resource (execution level, supported systems,
#                                    common controls), and under wine the common controls of
#                                    version 6 loaded from the side-by-side store
#   windows-checks.sh version EXE    the version resource's fields
#   windows-checks.sh same EXE EXE   two builds byte for byte the same
#   windows-checks.sh signed EXE CERT  an Authenticode signature that verifies against CERT (PEM)
# The manifest check starts the program under wine on $DISPLAY (the build tree's prefix, see
# wine-env.sh) and ends it once the controls library is loaded.
set -uo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
objdump=x86_64-w64-mingw32-objdump
windres=x86_64-w64-mingw32-windres
size_goal=229376
# DLLs the system maps from its own folder whatever lies beside the executable: its known DLLs,
# and the common controls, which the manifest takes from the side-by-side store. Any other DLL
# (WININET, VERSION, ...) is found beside the executable first; src/platform/sysdll-win32.cpp
# loads those at run time from the system folder.
system_dlls=" KERNEL32 USER32 GDI32 SHELL32 COMCTL32 MSVCRT ADVAPI32 OLE32 OLEAUT32 SHLWAPI
  COMDLG32 WS2_32 "

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The executable's resources as resource-compiler source.
resources() { "$windres" -i "$1" -O rc 2>/dev/null; }

check_size() {
  local size
  size=$(stat -c %s "$1") || fail "no $1"
  echo "$(basename "$1"): $size bytes ($(((size + 1023) / 1024)) KB), goal at most 224 KB"
  [ "$size" -le "$size_goal" ] || fail "over 224 KB"
}

check_imports() {
  local dlls foreign=""
  dlls=$("$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p') || fail "cannot read $1"
  [ -n "$dlls" ] || fail "no import table in $1"
  echo "imported DLLs: $(echo "$dlls" | tr '\n' ' ')"
  for dll in $dlls; do
    local base="${dll^^}"
    base="${base%.DLL}"
    [[ "$system_dlls" == *" $base "* ]] || foreign+=" $dll"
  done
  [ -z "$foreign" ] || fail "static imports of DLLs that may be loaded from beside it:$foreign"
}

check_icon() {
  local rc
  rc=$(resources "$1") || fail "cannot read the resources of $1"
  # The group's one entry: width 32, height 32, 16 colours (octal 040 040 020), 1 plane, 4 bits.
  echo "$rc" | grep -q '^1 14 /\* RT_GROUP_ICON \*/' || fail "no group icon 1"
  echo "$rc" | grep -q 'Has 1 elements' || fail "the group icon has not exactly one image"
  echo "$rc" | grep -qF '"\040\040\020\000", 1, 4,' || fail "the icon is not 32 x 32 in 16 colours"
  echo "icon: group 1 with one image of 32 x 32 pixels, 16 colours, 4 bits per pixel"
}

# The text of manifest resource 1: the resource compiler's quoted pieces joined again.
manifest_text() {
  resources "$1" | sed -n '/^1 24 \/\* RT_MANIFEST \*\//,/^END/p' | sed -n 's/^ *"\(.*\)"$/\1/p' |
    tr -d '\n' | sed 's/""/"/g; s/\\n/\n/g'
}

check_manifest() {
  local exe="$1" text id
  text=$(manifest_text "$exe") || fail "cannot read the resources of $exe"
  [ -n "$text" ] || fail "no manifest resource 1"
  echo "$text" | grep -q 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' ||
    fail "the manifest asks for no common controls of version 6"
  echo "$text" | grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' ||
    fail "the manifest asks for no execution level asInvoker without UI access"
  echo "$text" | grep -q '>PerMonitorV2</dpiAwareness>' ||
    fail "the manifest declares no per-monitor (v2) resolution awareness"
  echo "$text" | grep -q '>true</dpiAware>' ||
    fail "the manifest declares no system resolution awareness for older systems"
  # Windows 7, 8, 8.1, 10 and 11.
  for id in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    echo "$text" | grep -q "<supportedOS Id=\"{$id}\"/>" || fail "supported system {$id} missing"
  done
  echo "manifest: execution level asInvoker, 4 supported systems, common controls 6.0.0.0," \
    "per-monitor resolution"
  [ -n "${DISPLAY:-}" ] || fail "the start under wine needs DISPLAY"

  # shellcheck source=wine-env.sh
  source "$repo/scripts/wine-env.sh"
  wine_init || fail "no wine prefix"
  local work log pid loaded=""
  work="$(mktemp -d)"
  log="$work/loaddll.log"
  cp "$exe" "$work/merona.exe"
  WINEDEBUG=+loaddll timeout 60 wine "$work/merona.exe" >"$log" 2>&1 &
  pid=$!
  for _ in $(seq 200); do
    loaded=$(grep -i 'Loaded L".*comctl32\.dll"' "$log" | head -1)
    [ -n "$loaded" ] && break
    sleep 0.1
  done
  kill "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  rm -rf "$work"
  [ -n "$loaded" ] || fail "comctl32.dll was not loaded within 20 s"
  echo "comctl32: ${loaded#*Loaded }"
  [[ "${loaded,,}" == *'\\windows\\winsxs\\'*common-controls_6595b64144ccf1df_6.0.* ]] ||
    fail "the common controls were not taken from the side-by-side store"
}

check_version() {
  local rc expected field
  rc=$(resources "$1") || fail "cannot read the resources of $1"
  expected=$(sed -n 's/^project([^ ]* VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
  [ -n "$expected" ] || fail "no project version in CMakeLists.txt"
  echo "$rc" | grep -q " FILEVERSION ${expected//./, }, 0$" || fail "FILEVERSION is not $expected"
  echo "$rc" | grep -q " PRODUCTVERSION ${expected//./, }, 0$" || fail "PRODUCTVERSION is not $expected"
  for field in "CompanyName\", \"Drovanetix" "FileDescription\", \"Drovanetix web installer" \
    "ProductName\", \"Drovanetix web installer" "FileVersion\", \"$expected" \
    "ProductVersion\", \"$expected" "OriginalFilename\", \"setup.exe"; do
    echo "$rc" | grep -qF "VALUE \"$field\"" || fail "no version field $field\""
  done
  echo "version: $expected, company, product, description and original file name set"
}

check_same() {
  cmp "$1" "$2" || fail "$1 and $2 differ"
  echo "identical: $1 and $2 ($(stat -c %s "$1") bytes, sha256 $(sha256sum <"$1" | cut -c1-16)...)"
}

check_signed() {
  local out
  out=$(osslsigncode verify -in "$1" -CAfile "$2" 2>&1) || { echo "$out" >&2; fail "$1: signature"; }
  echo "$out" | grep -q '^Signature verification: ok' || { echo "$out" >&2; fail "$1: signature"; }
  echo "signature: $(echo "$out" | grep -m1 'Subject:' | sed 's/^[[:space:]]*//'), verified"
}

usage() {
  echo "usage: $0 size|imports|icon|manifest|version EXE | same EXE EXE | signed EXE CERT" >&2
  exit 2
}
case "${1:-} $#" in
  "size 2") check_size "$2" ;;
  "imports 2") check_imports "$2" ;;
  "icon 2") check_icon "$2" ;;
  "manifest 2") check_manifest "$2" ;;
  "version 2") check_version "$2" ;;
  "same 3") check_same "$2" "$3" ;;
  "signed 3") check_signed "$2" "$3" ;;
  *) usage ;;
esac
