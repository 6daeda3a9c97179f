#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite. Usage: scripts/test.sh [default|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
./scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
# Widget tests run without a display.
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
ctest --preset "$preset"
