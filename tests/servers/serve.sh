#!/usr/bin/env bash
# The real servers of the end-to-end tests and of the release's smoke test: the vendor's nginx
# site (tools/deploy/nginx-vendor.conf) serving a folder, and squid in front of it as a caching
# proxy, both on free loopback ports, everything they write (pid files, logs, cache) in DIR.
# Usage:
#   serve.sh start DIR ROOT   serves ROOT; prints "squid PORT" and "nginx PORT"
#   serve.sh stop DIR         stops the two servers started with DIR
# nginx logs each request with its Pragma and Cache-Control headers to DIR/nginx/access.log,
# squid each answer (TCP_MISS, TCP_MEM_HIT, ...) to DIR/squid/access.log.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
repo="$(cd "$here/../.." && pwd)"

fail() {
  echo "serve.sh: $*" >&2
  exit 1
}

listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

wait_listening() {
  for _ in $(seq 100); do
    listening "$1" && return 0
    sleep 0.1
  done
  return 1
}

free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    listening "$port" || break
  done
  echo "$port"
}

stop_pid_file() {
  local file="$1" pid
  [ -s "$file" ] || return 0
  pid="$(cat "$file")"
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

# Stops squid and removes what a squid that did not end cleanly leaves behind.
stop_squid() {
  local own="$1"
  stop_pid_file "$own/squid.pid"
  [ -s "$own/service" ] && rm -f /dev/shm/"$(cat "$own/service")"-*
  return 0
}

start_nginx() {
  local dir="$1" root="$2" port user=""
  mkdir -p "$dir/temp"
  cp "$here/nginx.conf" "$dir/nginx.conf"
  # Run as root (a CI machine), the workers would take an unprivileged user that cannot read a
  # private temp folder; they keep the caller's.
  [ "$(id -u)" -eq 0 ] && user="user root;"
  for _ in 1 2 3 4 5; do
    port="$(free_port)"
    sed -e "s|^\( *\)listen .*# deploy: listen\$|\1listen 127.0.0.1:$port;|" \
      -e "s|^\( *\)root .*# deploy: root\$|\1root \"$root\";|" \
      -e "s|^\( *\)access_log .*# deploy: access_log\$|\1access_log \"$dir/access.log\" drovanetix;|" \
      "$repo/tools/deploy/nginx-vendor.conf" >"$dir/vendor.conf"
    if nginx -p "$dir/" -e "$dir/error.log" -c "$dir/nginx.conf" \
      -g "pid $dir/nginx.pid; $user" </dev/null >>"$dir/error.log" 2>&1 &&
      wait_listening "$port"; then
      echo "$port"
      return 0
    fi
    stop_pid_file "$dir/nginx.pid"
  done
  return 1
}

# Run as root, squid changes to its own user, which must reach its folder: one of its own in the
# temp folder (a caller's private folder would bar it), linked from DIR.
start_squid() {
  local dir="$1" nginx_port="$2" port own
  own="$(mktemp -d "${TMPDIR:-/tmp}/squid.XXXXXX")"
  ln -sfn "$own" "$dir"
  for _ in 1 2 3 4 5; do
    port="$(free_port)"
    sed -e "s|@SQUID_PORT@|$port|" -e "s|@NGINX_PORT@|$nginx_port|" -e "s|@DIR@|$own|g" \
      "$here/squid.conf" >"$own/squid.conf"
    [ "$(id -u)" -eq 0 ] && chown -R proxy: "$own"
    # A service name of its own: squid names its shared memory after it, and two instances
    # under one name would clash.
    echo "vendortest$port" >"$own/service"
    if squid -n "vendortest$port" -f "$own/squid.conf" </dev/null >>"$own/start.log" 2>&1 && wait_listening "$port"; then
      echo "$port"
      return 0
    fi
    stop_squid "$own"
  done
  return 1
}

case "${1:-}" in
  start)
    [ $# -eq 3 ] || fail "usage: serve.sh start DIR ROOT"
    command -v nginx >/dev/null && command -v squid >/dev/null ||
      fail "nginx and squid are missing (scripts/install-deps.sh)"
    dir="$(mkdir -p "$2/nginx" && cd "$2" && pwd)"
    root="$(cd "$3" && pwd)"
    nginx_port="$(start_nginx "$dir/nginx" "$root")" || fail "nginx did not start: $dir/nginx/error.log"
    squid_port="$(start_squid "$dir/squid" "$nginx_port")" || {
      stop_pid_file "$dir/nginx/nginx.pid"
      fail "squid did not start: $dir/squid/cache.log"
    }
    echo "squid $squid_port"
    echo "nginx $nginx_port"
    ;;
  stop)
    [ $# -eq 2 ] || fail "usage: serve.sh stop DIR"
    stop_squid "$2/squid"
    stop_pid_file "$2/nginx/nginx.pid"
    if [ -L "$2/squid" ]; then
      rm -rf "$(readlink "$2/squid")"
      rm -f "$2/squid"
    fi
    ;;
  *) fail "usage: serve.sh start DIR ROOT | stop DIR" ;;
esac
