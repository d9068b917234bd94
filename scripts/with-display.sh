#!/usr/bin/env bash
# A virtual X display for the tests under wine (the native window tests start one each of their
# own). Run, it starts one, runs the command on it and ends it:
#   scripts/with-display.sh ctest --preset windows -R toolkit_test
# Sourced (scripts/test.sh), it defines start_display, which starts one and exports DISPLAY, and
# stop_display.
#
# Xvfb picks a free display number itself and writes it out only once it accepts connections
# (-displayfd), so that runs on one machine never race for a number and no test starts before the
# display answers; start_display fails, saying why, when none answers within 30 s. The tests open
# many connections at once (-maxclients). The server must not reset when its last client leaves
# (-noreset): while it resets it refuses connections, and with tests starting and ending side by
# side a test's first connection would now and then meet a resetting server. No window manager: wine's windows and message boxes
# take the tests' clicks and keys without one, while under one a box can show before its title is
# set and Alt+F4 closes the window.

x_pid=""
start_display() {
  local ready number=""
  ready="$(mktemp)"
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp -noreset -maxclients 1024 \
    3>"$ready" >"$ready.log" 2>&1 &
  x_pid=$!
  for _ in $(seq 300); do
    number="$(cat "$ready")"
    [ -n "$number" ] || ! kill -0 "$x_pid" 2>/dev/null && break
    sleep 0.1
  done
  export DISPLAY=":$number"
  if [ -z "$number" ] || ! xdotool getdisplaygeometry >/dev/null 2>&1; then
    echo "no virtual display: Xvfb did not answer within 30 s" >&2
    cat "$ready.log" >&2
    rm -f "$ready" "$ready.log"
    stop_display
    return 1
  fi
  rm -f "$ready" "$ready.log"
  echo "display $DISPLAY"
}

stop_display() {
  [ -n "$x_pid" ] || return 0
  kill "$x_pid" 2>/dev/null
  wait "$x_pid" 2>/dev/null
  x_pid=""
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  [ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGUMENT...]" >&2; exit 2; }
  trap stop_display EXIT
  start_display || exit 1
  "$@"
fi
