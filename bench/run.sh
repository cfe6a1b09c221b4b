#!/usr/bin/env bash
# Builds the benchmark (Release, in build-bench) and runs it. Every argument
# goes to cache_bench: --long for more rounds, --tmpfs to measure on a tmpfs,
# a directory to work in (default /var/tmp), --only/--sizes to run parts.
# The plot goes to build-bench/cache_bench_prune.svg.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DCACHEMANAGER_BUILD_BENCH=ON \
  -DCACHEMANAGER_BUILD_TESTS=OFF -DCACHEMANAGER_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-bench --target cache_bench -j 2 >/dev/null
exec build-bench/bench/cache_bench --plot build-bench/cache_bench_prune.svg "$@"
