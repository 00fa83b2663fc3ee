#!/usr/bin/env bash
# Builds Quillora and runs every test twice: a plain build, then one with
# AddressSanitizer + UndefinedBehaviorSanitizer; the threaded tests also under ThreadSanitizer;
# then the fuzz targets, and the Windows build's tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# run_suite DIR "CTEST FILTER" "BUILD TARGETS (empty: all)" [CMAKE OPTION...]
run_suite() {
  local dir=$1 filter=$2 targets=$3; shift 3
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" ${targets:+--target $targets}
  (cd "$dir" && ctest --output-on-failure -j "$jobs" $filter)
}

# The package test changes the machine's /usr: it runs last, and only when asked.
run_suite build "-LE package" ""
# GTK and WebKit keep memory until exit by design, which LeakSanitizer would report, and so do
# GLib and libsecret: the desktop program's tests and the keyring's run in the plain build only.
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan "-LE desktop|package|secrets" "" -DQUILLORA_SANITIZE="address;undefined"
TSAN_OPTIONS=halt_on_error=1 run_suite build-tsan "-L threaded" \
  "threaded_tests server_tests media_threaded_tests" -DQUILLORA_SANITIZE=thread
# Each fuzz target for a minute from its seed corpus (scripts/fuzz.sh SECONDS runs them longer).
bash scripts/fuzz.sh 60
# The Windows folder, cross-built, and its tests under Wine; the CLI checks and the lab deploy
# compare with the Linux build above and use its simulator.
bash scripts/build-windows.sh build-windows
(cd build-windows && ctest --output-on-failure -L windows)
if [ "${CI:-}" = true ] || [ "${QUILLORA_PACKAGE_TEST:-}" = 1 ]; then
  (cd build && ctest --output-on-failure -L package)
fi
