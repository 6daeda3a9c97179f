#!/usr/bin/env bash
# Screenshots of the operator's window for the README, drawn by a virtual X server: the main
# panel, the programming popup in the middle of a run on the built-in virtual drive, its
# verdict after a success and after a failure, the station view on four virtual drives, and the
# window locked to a job.
#
# usage: scripts/screenshots.sh [BUILD_DIR]    (default: build/default)
# Needs xvfb-run (scripts/setup.sh installs it). Writes docs/screenshots/main-panel.png,
# popup-running.png, popup-programmed.png, popup-failed.png, station-view.png and
# main-panel-job.png.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/default}"
out="$root/docs/screenshots"

if ! command -v xvfb-run >/dev/null; then
  echo "screenshots: xvfb-run is missing; run scripts/setup.sh" >&2
  exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target driveflash_screenshots -j "${JOBS:-2}"
mkdir -p "$out"
# A fixed screen and resolution, so the pictures come out the same size every time.
QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=1 LANG=C.UTF-8 \
  xvfb-run --auto-servernum --server-args="-screen 0 1280x900x24 -dpi 96" \
  "$build/tests/driveflash_screenshots" "$out"
