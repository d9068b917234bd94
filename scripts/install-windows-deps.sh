#!/usr/bin/env bash
# Installs what the Windows cross build and its wine tests need, and fetches the
# libjpeg-turbo source the cross build compiles into a static library.
# Usage: install-windows-deps.sh [DIR]  (DIR receives the source tarball; default build-windows/src)
set -euo pipefail

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
src_dir="${1:-$repo_root/build-windows/src}"

packages=(
  g++-mingw-w64-x86-64-win32 wine wine64 fonts-wine
  xvfb xauth xdotool evilwm imagemagick dpkg-dev cmake osslsigncode openssl locales
)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

# apt-get source needs deb-src entries mirroring the binary ones.
src_list=/etc/apt/sources.list.d/debian-src.sources
updated=0
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $sudo tee "$src_list" >/dev/null
  $sudo apt-get update -qq
  updated=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  [ "$updated" -eq 1 ] || $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# Wine takes the ANSI code page from the locale: the code-page scenarios start the program under
# cs_CZ (1250), ru_RU (1251) and en_US (1252).
for locale in cs_CZ ru_RU en_US; do
  locale -a | grep -qx "$locale.utf8" || $sudo localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
done

mkdir -p "$src_dir"
if ! ls "$src_dir"/libjpeg-turbo_*.orig.tar.* >/dev/null 2>&1; then
  if ! (cd "$src_dir" && apt-get source --tar-only libjpeg-turbo); then
    echo "error: the libjpeg-turbo source package cannot be fetched (apt-get source --tar-only libjpeg-turbo);" >&2
    echo "       check the deb-src entries in $src_list and the network" >&2
    exit 1
  fi
fi
ls "$src_dir"/libjpeg-turbo_*.orig.tar.*
