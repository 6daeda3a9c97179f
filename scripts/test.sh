#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
# Usage: scripts/test.sh [default|asan|tsan|windows-cross]
# windows-cross builds the Qt-free core and its tests for Windows with MinGW-w64 and runs
# them under Wine, in a Wine prefix of the build's own.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
if [ "$preset" = windows-cross ]; then
  DRIVEFLASH_SETUP_WINDOWS=1 ./scripts/setup.sh
else
  ./scripts/setup.sh
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
# Widget tests run without a display.
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
if [ "$preset" = windows-cross ]; then
  export WINEPREFIX="$PWD/build/windows-cross/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # The prefix is made once; one server then serves every test program of the run. Wine's
  # own background services start here, with their output away from CTest's pipes (which
  # CTest would otherwise wait on until they end).
  [ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1
  wineserver -w  # the server wineboot left behind ends first
  wineserver -p
  trap 'wineserver -k || true' EXIT
  wineboot >/dev/null 2>&1
fi
ctest --preset "$preset"
