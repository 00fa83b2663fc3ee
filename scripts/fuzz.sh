#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang (libFuzzer, ASan + UBSan) and runs each for
# SECONDS (default 60) from its committed seed corpus. New inputs go to a scratch folder, not
# into the repository; an input that fails is kept in the build folder's artifacts/. Exit 1
# when a target crashes, leaks or runs out of memory, or when clang cannot build them.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=${FUZZ_BUILD_DIR:-build-fuzz}
scratch=$(mktemp -d /tmp/quillora-fuzz-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# Without these the build fails deep in CMake or the linker; say what is missing instead.
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is not installed (Debian: apt-get install clang)" >&2
  exit 1
fi
echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
  clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o "$scratch/probe" 2>"$scratch/probe.log" || {
  cat "$scratch/probe.log" >&2
  echo "fuzz.sh: clang++ cannot link libFuzzer with ASan + UBSan (Debian: the libclang-rt-dev package of this clang)" >&2
  exit 1
}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
if ! cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  "${launcher[@]}" -DQUILLORA_FUZZ=ON >"$scratch/configure.log" 2>&1; then
  cat "$scratch/configure.log" >&2
  exit 1
fi
cmake --build "$dir" -j "$(nproc)" --target fuzz_targets
shopt -s nullglob
status=0
for source in tests/fuzz/*_fuzz.cpp; do
  name=$(basename "$source" .cpp)
  mkdir -p "$scratch/$name" "$dir/artifacts"
  seeds="tests/data/fuzz/${name%_fuzz}"
  [ -d "$seeds" ] || seeds=
  echo "== $name: $seconds s"
  if ! "$dir/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$dir/artifacts/$name-" \
      "$scratch/$name" ${seeds:+"$seeds"} >"$scratch/$name.log" 2>&1; then
    tail -n 40 "$scratch/$name.log"
    echo "== $name FAILED; the input that failed is in $dir/artifacts/"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$scratch/$name.log" || true
done
exit "$status"
