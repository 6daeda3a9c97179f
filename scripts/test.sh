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
  # Wine's set-up is over before the first test program starts: the prefix is made (once)
  # and its first-run work has ended, and one server serves every program of the run.
  prefix="$PWD/build/windows-cross/wine"
  ./scripts/wine_run.sh "$prefix" --start
  trap './scripts/wine_run.sh "$prefix" --stop' EXIT
fi
ctest --preset "$preset"
