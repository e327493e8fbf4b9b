#!/usr/bin/env bash
# Builds the Debian package of Sentro and prints its path.
#   scripts/build-package.sh            in build-package/
#   BUILD_DIR=dir scripts/build-package.sh
# The binaries are built with Debian's hardening flags (dpkg-buildflags); the
# version is the project's (top CMakeLists.txt). Needs pandoc and dpkg-dev
# (scripts/install-deps.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${BUILD_DIR:-build-package}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
CFLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags"
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags"
LDFLAGS=$(dpkg-buildflags --get LDFLAGS)
export CFLAGS CXXFLAGS LDFLAGS

{
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DSENTRO_TESTS=OFF -DSENTRO_BENCH=OFF
  cmake --build "$build" -j"$(nproc)"
  rm -f "$build"/sentro_*.deb
  (cd "$build" && cpack -G DEB)
} >&2
ls "$(pwd)/$build"/sentro_*.deb
