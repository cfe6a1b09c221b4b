#!/usr/bin/env bash
# Builds the library and runs the example host on a new temporary directory.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target init_host
build/examples/init_host "$@"
