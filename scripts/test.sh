#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   KETTRIN_BUILD_DIR   build folder (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/deps.sh"
build=${KETTRIN_BUILD_DIR:-$here/build}
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"
cd "$build"
ctest --output-on-failure -j"$jobs"
