#!/usr/bin/env bash
# Installs the Debian packages Sentro builds and tests with, and the
# "sentroapi" system user whose group owns the control socket.
# Safe to run again: apt-get skips what is present, the user is created once.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang
  rapidjson-dev libsqlite3-dev libcurl4-openssl-dev libboost-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  sqlite3 python3 gdb
  pandoc lintian dpkg-dev fakeroot
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

if ! getent passwd sentroapi >/dev/null; then
  useradd --system --no-create-home --shell /usr/sbin/nologin sentroapi
fi
