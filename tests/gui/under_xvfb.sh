#!/bin/sh
# Runs a window test under a virtual X server. Where there is none the test is skipped
# (exit 77, which CTest reports as skipped), never passed silently.
if ! command -v xvfb-run >/dev/null 2>&1 || ! command -v xauth >/dev/null 2>&1; then
  echo "SKIPPED: no virtual X server here (xvfb-run and xauth; scripts/setup.sh installs them)"
  exit 77
fi
exec xvfb-run --auto-servernum --server-args="-screen 0 1280x900x24 -dpi 96" \
  env QT_QPA_PLATFORM=xcb "$@"
