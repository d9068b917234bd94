#!/usr/bin/env bash
# Shows that the Windows build opens its window under wine and downloads through the system
# proxy: starts Xvfb and a window manager, a vendor test server with a product's files behind the
# registry proxy, runs merona.exe, checks the caption and the colours of a screenshot, clicks the
# British flag and waits for the files in %TEMP%\merona\.
# Usage: wine-window-proof.sh [VENDOR_SERVER] (default: the one of the default preset's build)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
server="${1:-$repo/build/tools/vendor-server/vendor-server}"
# shellcheck source=wine-env.sh
source "$repo/scripts/wine-env.sh"
# shellcheck source=products.sh
source "$repo/scripts/products.sh"
work="$WINE_BUILD_DIR/window-proof"
rm -rf "$work"
mkdir -p "$work/root/download/merona"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wine_stop
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The merona profile's files, each of a distinct size.
i=0
while read -r source _; do
  i=$((i + 1))
  head -c $((i * 3000 + 17)) /dev/urandom >"$work/root/download/merona/$source"
done < <(product_files MERONA)

[ -x "$server" ] || fail "no vendor server at $server"
"$server" --root "$work/root" --port-file "$work/port" --log "$work/requests.log" &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port="$(cat "$work/port")"
wine_proxy "$port" || fail "cannot set the proxy"

display=":$((90 + RANDOM % 100))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp &
pids+=($!)
export DISPLAY="$display"
sleep 1
evilwm -fn fixed >/dev/null 2>&1 &
pids+=($!)

# %TEMP% of the prefix, as a path of this machine.
temp_dir="$(timeout 60 wine cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')"
temp_dir="$(timeout 60 winepath -u "$temp_dir" 2>/dev/null)/merona"
echo "download folder $temp_dir"
rm -rf "$temp_dir"
cp "$repo/build-windows/products/merona.exe" "$work/merona.exe"
started=$(date +%s.%N)
timeout 120 wine "$work/merona.exe" >"$work/wine.log" 2>&1 &
pids+=($!)

window=""
for _ in $(seq 300); do
  window="$(xdotool search --name '^MERONA$' 2>/dev/null | head -1 || true)"
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || fail "no window with the caption MERONA"
echo "window $window after $(echo "$(date +%s.%N) - $started" | bc) s"
sleep 1.5
eval "$(xdotool getwindowgeometry --shell "$window")"
echo "geometry ${WIDTH}x${HEIGHT} at ${X},${Y}"
import -window root "$work/screen.png"
convert "$work/screen.png" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$work/window.png"

pixel() { convert "$work/window.png" -format "%[hex:p{$1,$2}]" info: | cut -c1-6; }
panel="$(pixel 20 100)"
echo "panel colour #$panel"
[ "$panel" = "B0D8FF" ] || fail "panel colour #$panel, expected #B0D8FF"
# The flags: 40 x 27 at (240,45) and (300,45) on the client area, which fills the window here.
cz_top="$(pixel 250 50)" cz_bottom="$(pixel 270 68)" gb_mid="$(pixel 320 58)"
echo "Czech flag top #$cz_top bottom #$cz_bottom, British flag centre #$gb_mid"
case "$cz_top" in F?F?F? | E?E?E?) ;; *) fail "Czech flag: no white band (#$cz_top)" ;; esac
[ "$cz_bottom" != "$panel" ] || fail "Czech flag missing"
[ "$gb_mid" != "$panel" ] || fail "British flag missing"

xdotool mousemove --window "$window" 320 58 click 1
for _ in $(seq 300); do
  # The last file of the plan, complete.
  cmp -s "$temp_dir/dobrin._ex" "$work/root/download/merona/dobrin.zip" && break
  sleep 0.1
done
ls -l "$temp_dir" || true
while read -r _ target; do
  [ -f "$temp_dir/$target" ] || fail "$target was not downloaded"
done < <(product_files MERONA)
cmp "$temp_dir/merona._ex" "$work/root/download/merona/merona.zip" || fail "merona._ex differs"
cmp "$temp_dir/dobrin._ex" "$work/root/download/merona/dobrin.zip" || fail "dobrin._ex differs"
echo "requests:"
head -3 "$work/requests.log"
echo "PASS"
