#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libfltk1.3-dev libjpeg62-turbo-dev libcurl4-openssl-dev libssl-dev libgtest-dev
  fonts-liberation xvfb xauth xdotool imagemagick x11-utils curl
  clang-14 libfuzzer-14-dev
  # the real servers of the end-to-end tests and of the release's smoke test
  nginx squid
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
