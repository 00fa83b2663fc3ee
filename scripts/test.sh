#!/usr/bin/env bash
# Builds Quillora and runs every test twice: a plain build, then one with
# AddressSanitizer + UndefinedBehaviorSanitizer; the threaded tests also under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

run_suite() {
  local dir=$1 filter=$2; shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" $filter)
}

run_suite build ""
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan "" -DQUILLORA_SANITIZE="address;undefined"
TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan "-L threaded" -DQUILLORA_SANITIZE=thread
