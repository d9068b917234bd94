#!/usr/bin/env bash
# The wine environment of the Windows build's tests: a prefix of its own inside the build tree,
# quiet, without the .NET and HTML engine installers, every call bounded in time.
#
# Sourced, it exports the environment and defines the functions below. Run, it takes a command:
#   wine-env.sh init            create the prefix once (wineboot -i)
#   wine-env.sh proxy PORT      set the system proxy of the prefix to 127.0.0.1:PORT
#   wine-env.sh noproxy         switch the system proxy off
#   wine-env.sh run PROGRAM...  run a Windows program under wine
#   wine-env.sh stop            end the prefix's wine server
# WINE_BUILD_DIR (default: build-windows in the repository) picks the build tree; WINE_TIMEOUT
# (seconds, default 120) bounds each wine call.

_wine_env_repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINE_BUILD_DIR="${WINE_BUILD_DIR:-$_wine_env_repo/build-windows}"
export WINEPREFIX="$WINE_BUILD_DIR/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINE_TIMEOUT="${WINE_TIMEOUT:-120}"
_internet_settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'

wine_stop() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
}

wine_init() {
  if [ -f "$WINEPREFIX/system.reg" ] && [ -f "$WINEPREFIX/.initialised" ]; then return 0; fi
  mkdir -p "$WINEPREFIX"
  if ! timeout 300 wineboot -i >/dev/null 2>&1; then
    echo "wine-env: wineboot -i failed or timed out in $WINEPREFIX" >&2
    return 1
  fi
  timeout 120 wineserver -w >/dev/null 2>&1 || true
  touch "$WINEPREFIX/.initialised"
  wine_stop
}

wine_run() {
  wine_init || return 1
  timeout "$WINE_TIMEOUT" wine "$@"
}

wine_proxy() {
  local port="$1"
  wine_init || return 1
  timeout 60 wine reg add "$_internet_settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null &&
    timeout 60 wine reg add "$_internet_settings" /v ProxyServer /t REG_SZ \
      /d "127.0.0.1:$port" /f >/dev/null
  local rc=$?
  wine_stop
  return $rc
}

wine_noproxy() {
  wine_init || return 1
  timeout 60 wine reg add "$_internet_settings" /v ProxyEnable /t REG_DWORD /d 0 /f >/dev/null
  local rc=$?
  wine_stop
  return $rc
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -u
  cmd="${1:-}"
  shift || true
  case "$cmd" in
    init) wine_init ;;
    proxy) [ $# -eq 1 ] || { echo "usage: $0 proxy PORT" >&2; exit 2; }; wine_proxy "$1" ;;
    noproxy) wine_noproxy ;;
    run) wine_run "$@" ;;
    stop) wine_stop ;;
    *) echo "usage: $0 init | proxy PORT | noproxy | run PROGRAM [ARGS...] | stop" >&2; exit 2 ;;
  esac
fi
