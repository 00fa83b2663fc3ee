#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang (libFuzzer, ASan + UBSan) and runs each for
# SECONDS (default 60) from its committed seed corpus. New inputs go to a scratch folder, not
# into the repository. Exit 1 when a target crashes, leaks or runs out of memory.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DQUILLORA_FUZZ=ON >/dev/null
cmake --build "$dir" -j "$(nproc)" --target fuzz_targets
scratch=$(mktemp -d /tmp/quillora-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
status=0
for source in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" .cpp)
  mkdir -p "$scratch/$name" "$scratch/$name.artifacts"
  echo "== $name: $seconds s"
  if ! "$dir/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$scratch/$name.artifacts/" \
      "$scratch/$name" "tests/fuzz/corpus/${name%_fuzz}" >"$scratch/$name.log" 2>&1; then
    tail -n 40 "$scratch/$name.log"
    echo "== $name FAILED"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$scratch/$name.log" || true
done
exit "$status"
