#!/usr/bin/env bash
# Runs the installer's main job against a local demo vendor server: MERONA's files are served on
# loopback, the system proxy setting points at the server, and merona.run downloads them, starts
# the downloaded setup and reports the outcome. With a display the user clicks a flag; without
# one the demo runs under Xvfb, clicks the English flag itself and saves screenshots.
# With --signed the installer is built with the test vendor key (preset filelist) and the files are
# published with a list signed by its throw-away private key (tests/data/file-list-test-key.pem).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
# shellcheck source=products.sh
source scripts/products.sh

preset=default
[ "${1:-}" = "--signed" ] && preset=filelist
build=$repo/build
[ $preset = filelist ] && build=$repo/build-filelist

scripts/install-deps.sh
cmake --preset $preset >/dev/null
cmake --build "$build" -j"$(nproc)" --target setup vendor-server file-list-sign

demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/server/download/merona" "$demo/temp" "$demo/screens"
for f in $(product_sources MERONA | grep -vx setup.zip); do
  head -c $((200000 + RANDOM * 10)) /dev/urandom >"$demo/server/download/merona/$f"
done
# The product's own installer: a tiny program that tells it was started, how and where.
cat >"$demo/server/download/merona/setup.zip" <<'SETUP'
#!/bin/sh
echo "setup started with language '$1' in folder $(pwd)" >"$(pwd)/setup-started.txt"
SETUP
if [ $preset = filelist ]; then
  "$build/tools/file-list-sign/file-list-sign" sign tests/data/file-list-test-key.pem MERONA \
    "$demo/server/download/merona"
fi

"$build/tools/vendor-server/vendor-server" --root "$demo/server" --port-file "$demo/port" \
  --log "$demo/requests.log" >"$demo/server.out" 2>&1 &
server=$!
xvfb=""
cleanup() {
  kill "$server" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$demo/port" ] && break; sleep 0.05; done
port=$(cat "$demo/port")

export http_proxy="http://127.0.0.1:$port"
unset no_proxy NO_PROXY
export temp="$demo/temp"

headless=0
if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
  headless=1
  for n in $(seq 90 120); do
    [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] || break
  done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -noreset >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=":$n"
  for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
fi

echo "vendor server on 127.0.0.1:$port, downloads into $temp/merona/"
"$build/products/merona.run" &
app=$!

if [ $headless -eq 1 ]; then
  win=""
  for _ in $(seq 100); do
    win=$(xdotool search --sync --onlyvisible --pid "$app" --name '^MERONA$' 2>/dev/null | head -1) && [ -n "$win" ] && break
    sleep 0.1
  done
  if [ -z "$win" ]; then
    echo "the installer's window did not appear" >&2
    kill "$app" 2>/dev/null || true
    exit 1
  fi
  sleep 0.3
  import -window root "$demo/screens/1-language-page.png"
  eval "$(xdotool getwindowgeometry --shell "$win")"
  # The English flag lies at 300..340 x 45..72 on the language page.
  xdotool mousemove $((X + 320)) $((Y + 58)) click 1
  sleep 1.6
  import -window root "$demo/screens/2-downloading.png"
  sleep 2
  import -window root "$demo/screens/3-download-page.png"
fi

wait "$app" || true
# setup runs detached from the installer and may still be starting.
for _ in $(seq 60); do [ -s "$temp/merona/setup-started.txt" ] && break; sleep 0.05; done
echo
echo "Files saved in $temp/merona/:"
ls -l "$temp/merona/" | tail -n +2 | grep -v setup-started.txt
echo
cat "$temp/merona/setup-started.txt" 2>/dev/null || echo "setup was not started"
echo
echo "Status report received by the vendor server:"
grep '^REQUEST .*/programy/' "$demo/requests.log" || echo "(none)"
[ $headless -eq 1 ] && echo && echo "Screenshots: $demo/screens/"
exit 0
