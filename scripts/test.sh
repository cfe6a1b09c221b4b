#!/usr/bin/env bash
# Builds and runs the tests:
#  - the whole suite in the normal build, and again in a build with
#    AddressSanitizer and UndefinedBehaviorSanitizer;
#  - the thread and process tests (ctest label "concurrency") in a build with
#    ThreadSanitizer;
#  - each libFuzzer target, built with clang, for CM_FUZZ_SECONDS (60) seconds
#    each, side by side, on a corpus kept in build-fuzz/corpus.
# Fails on the first failing test, sanitizer report or fuzzer crash.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh --with-fuzz
jobs=$(nproc)
fuzz_seconds=${CM_FUZZ_SECONDS:-60}

passed=0
failed=0
# Runs ctest in a build directory with the given arguments, adding its counts
# to the totals printed at the end.
run_ctest() {  # build-dir, ctest arguments...
  local dir=$1; shift
  local log="$dir/ctest.log"
  local status=0
  (cd "$dir" && ctest --output-on-failure -j "$jobs" "$@") 2>&1 | tee "$log" || status=$?
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + ${total:-0} - ${bad:-0}))
  failed=$((failed + ${bad:-0}))
  return "$status"
}

run_suite() {  # build-dir, extra cmake arguments...
  local dir=$1; shift
  echo "=== $dir ==="
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  run_ctest "$dir"
}

run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DCACHEMANAGER_SANITIZE=address,undefined

echo "=== build-tsan ==="
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCACHEMANAGER_SANITIZE=thread >/dev/null
cmake --build build-tsan -j "$jobs" --target concurrency_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan -L concurrency

echo "=== build-fuzz ==="
fuzzers=(fuzz_texts fuzz_operations)
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DCACHEMANAGER_BUILD_FUZZ=ON -DCACHEMANAGER_BUILD_TESTS=OFF -DCACHEMANAGER_BUILD_EXAMPLES=OFF \
  -DCACHEMANAGER_BUILD_TOOLS=OFF -DCACHEMANAGER_INSTALL=OFF \
  -DCACHEMANAGER_SANITIZE=fuzzer-no-link,address,undefined >/dev/null
cmake --build build-fuzz -j "$jobs" --target "${fuzzers[@]}"
pids=()
for fuzzer in "${fuzzers[@]}"; do
  mkdir -p "build-fuzz/corpus/$fuzzer" build-fuzz/artifacts
  "build-fuzz/tests/fuzz/$fuzzer" -max_total_time="$fuzz_seconds" -timeout=10 \
    -artifact_prefix="build-fuzz/artifacts/$fuzzer-" "build-fuzz/corpus/$fuzzer" \
    >"build-fuzz/$fuzzer.log" 2>&1 &
  pids+=($!)
done
status=0
fuzz_failed=0
for i in "${!fuzzers[@]}"; do
  if wait "${pids[$i]}"; then
    echo "${fuzzers[$i]}: $(grep -E '^Done [0-9]+ runs' "build-fuzz/${fuzzers[$i]}.log" || echo 'done')"
  else
    echo "${fuzzers[$i]} failed; the end of build-fuzz/${fuzzers[$i]}.log:" >&2
    tail -n 60 "build-fuzz/${fuzzers[$i]}.log" >&2
    status=1
    fuzz_failed=$((fuzz_failed + 1))
  fi
done
echo "fuzzers: $(( ${#fuzzers[@]} - fuzz_failed )) passed, $fuzz_failed failed"
echo "tests: $passed passed, $failed failed"
exit "$status"
