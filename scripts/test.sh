#!/usr/bin/env bash
# Installs what the build needs, builds Sentro and runs the whole test suite.
#   scripts/test.sh                 normal build in build/
#   BUILD_DIR=build-asan CMAKE_ARGS=-DSENTRO_SANITIZE=ON scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build_dir=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build_dir" ${CMAKE_ARGS:-}
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" --timeout 300
