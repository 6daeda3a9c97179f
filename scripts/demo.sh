#!/usr/bin/env bash
# Sets up, builds and shows the tool at work on the built-in virtual drive.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target driveflash-cli driveflash-sim
exec ./build/default/src/cli/driveflash-cli --version
