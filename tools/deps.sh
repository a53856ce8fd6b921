#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and running Reposa
# need, when any of them is missing. Needs root (or sudo).
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config dpkg-dev
  help2man lintian systemd
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev
  libsqlite3-dev libsodium-dev liburing-dev prometheus-cpp-dev libssl-dev openssl
  qt6-base-dev
  clang libclang-rt-14-dev
  xvfb xauth x11-utils imagemagick
  python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
