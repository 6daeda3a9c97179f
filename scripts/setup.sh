#!/usr/bin/env bash
# Installs, from Debian 12 packages, whatever the build, the tests, the static
# checks, the screenshots and the performance report need and the machine lacks (the
# last two only when asked: DRIVEFLASH_SETUP_SCREENSHOTS=1,
# DRIVEFLASH_SETUP_REPORT=1; the Windows cross build's: DRIVEFLASH_SETUP_WINDOWS=1). Safe to run again: it asks apt only
# when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-serialport-dev qt6-multimedia-dev qt6-tools-dev
  libqt6uitools6 libqt6opengl6-dev libgl-dev
  fonts-wqy-microhei
  # the fuzz targets: clang's libFuzzer and sanitizer runtimes, llvm-symbolizer for reports
  libclang-rt-14-dev llvm
  # the static checks of scripts/lint.sh
  clang-tidy cppcheck
)
if [ "${DRIVEFLASH_SETUP_SCREENSHOTS:-0}" = 1 ]; then
  packages+=(xvfb xauth imagemagick)
fi
# The windows-cross preset (scripts/test.sh windows-cross): MinGW-w64 and Wine to run the
# Windows build of the tests (googletest's sources are in the list above).
if [ "${DRIVEFLASH_SETUP_WINDOWS:-0}" = 1 ]; then
  packages+=(mingw-w64 g++-mingw-w64-x86-64-posix wine wine64)
fi
# The performance report's plot (scripts/perf_report.sh).
if [ "${DRIVEFLASH_SETUP_REPORT:-0}" = 1 ]; then
  packages+=(gnuplot-nox)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi
echo "setup: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
