#!/usr/bin/env bash
# Installs everything netbuf needs to build, run and test, from Debian packages only.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-serialport-dev libqt6serialport6 qt6-qpa-plugins
  libsqlite3-dev sqlite3
  libgtest-dev libgmock-dev libbenchmark-dev
  mbpoll socat python3 python3-pymodbus python3-serial python3-serial-asyncio
  xvfb xauth imagemagick xdotool
  libmodbus-dev
  clang libclang-rt-14-dev
  netcat-openbsd procps
  dpkg-dev
  libsystemd-dev
  debhelper lintian systemd trayer desktop-file-utils
  iproute2 util-linux
  strace
  prometheus
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
