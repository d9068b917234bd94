#!/usr/bin/env bash
# Checks of the Windows executable itself, each printing what it measured:
#   windows-checks.sh size EXE       at most 300 KB
#   windows-checks.sh imports EXE    only DLLs that every Windows installation has
#   windows-checks.sh icon EXE       a group icon of one 32 x 32 image in 16 colours
#   windows-checks.sh manifest EXE   the manifest resource, and under wine the common controls
#                                    of version 6 loaded from the side-by-side store
# The manifest check starts the program under wine on $DISPLAY (the build tree's prefix, see
# wine-env.sh) and ends it once the controls library is loaded.
set -uo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
objdump=x86_64-w64-mingw32-objdump
windres=x86_64-w64-mingw32-windres
size_goal=307200
system_dlls=" KERNEL32 USER32 GDI32 WININET SHELL32 COMCTL32 MSVCRT ADVAPI32 OLE32 OLEAUT32
  SHLWAPI COMDLG32 VERSION WS2_32 "

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The executable's resources as resource-compiler source.
resources() { "$windres" -i "$1" -O rc 2>/dev/null; }

check_size() {
  local size
  size=$(stat -c %s "$1") || fail "no $1"
  echo "$(basename "$1"): $size bytes ($(((size + 1023) / 1024)) KB), goal at most 300 KB"
  [ "$size" -le "$size_goal" ] || fail "over 300 KB"
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
  [ -z "$foreign" ] || fail "imports beyond the system's own DLLs:$foreign"
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

check_manifest() {
  local exe="$1" rc
  rc=$(resources "$exe") || fail "cannot read the resources of $exe"
  echo "$rc" | grep -q '^1 24 /\* RT_MANIFEST \*/' || fail "no manifest resource 1"
  echo "$rc" | grep -q 'Microsoft.Windows.Common-Controls""* version=""6.0.0.0' ||
    fail "the manifest asks for no common controls of version 6"
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

[ $# -eq 2 ] || { echo "usage: $0 size|imports|icon|manifest EXE" >&2; exit 2; }
case "$1" in
  size) check_size "$2" ;;
  imports) check_imports "$2" ;;
  icon) check_icon "$2" ;;
  manifest) check_manifest "$2" ;;
  *) echo "usage: $0 size|imports|icon|manifest EXE" >&2; exit 2 ;;
esac
