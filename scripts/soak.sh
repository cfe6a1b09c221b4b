#!/usr/bin/env bash
# The long random runs, which CI runs only briefly within scripts/test.sh:
# the stress run at ten times its size, a few hundred rounds of workers
# killed at random in each prune mode, and each fuzzer for ten minutes.
# Every knob can be set from the environment; a seed printed by a failing
# run repeats its choices (CM_STRESS_SEED).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --with-fuzz
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target concurrency_tests
CM_STRESS_SCALE=${CM_STRESS_SCALE:-10} CM_CRASH_ROUNDS=${CM_CRASH_ROUNDS:-500} \
  build/tests/concurrency_tests --gtest_filter='Modes/RandomWorkers.*'
CM_FUZZ_SECONDS=${CM_FUZZ_SECONDS:-600} scripts/test.sh
