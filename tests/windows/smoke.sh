#!/usr/bin/env bash
# Builds tests/windows/smoke.cpp against the cross-built libraries and runs it under Wine, in the
# build folder's Wine prefix. Usage: tests/windows/smoke.sh [BUILD_DIR [DEPS_DIR]]  (default
# build-windows and its deps/, as scripts/build-windows.sh makes them). Loopback only, so it may
# run in the root namespace.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_DIR=$(cd "${1:-$ROOT/build-windows}" && pwd)
DEPS=$(cd "${2:-$BUILD_DIR/deps}" && pwd)
# Built beside the libraries, so the application folder holds only what it ships; the Wine prefixes
# are the project tests' own.
OUT=$DEPS/build/smoke
export QUILLORA_WINE_BASE=${QUILLORA_WINE_BASE:-$BUILD_DIR/wine}
cmake -S "$ROOT/tests/windows" -B "$OUT" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
  -DQUILLORA_WINDOWS_DEPS="$DEPS" -DCMAKE_BUILD_TYPE=Release >"$OUT.log"
cmake --build "$OUT" -j"$(nproc)" >>"$OUT.log"

file "$OUT/smoke.exe" | grep -q 'PE32+' || {
  file "$OUT/smoke.exe"
  exit 1
}
# Everything but the system's own DLLs is linked in.
extra=$(x86_64-w64-mingw32-objdump -p "$OUT/smoke.exe" | sed -n 's/^\s*DLL Name: //p' |
  grep -viE '^(kernel32|msvcrt|ws2_32|mswsock|user32|advapi32|shell32|ole32|bcrypt|crypt32)\.dll$' ||
  true)
[ -z "$extra" ] || {
  echo "smoke.exe needs DLLs that Windows does not have: $extra"
  exit 1
}

# Through the toolchain's emulator (scripts/windows/wine-run.sh), as the project's tests run.
status=0
timeout 300 ctest --test-dir "$OUT" --output-on-failure || status=$?
bash "$ROOT/scripts/windows/wine-run.sh" --stop "$OUT/smoke.exe"
exit "$status"
