#!/usr/bin/env bash
# Builds the library and cmtool, and runs `cmtool demo`: a cache at work on a
# small file system made for the purpose (a tmpfs when run as root).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target cmtool
build/tools/cmtool demo "$@"
