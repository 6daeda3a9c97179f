#!/usr/bin/env bash
# Runs a Windows program under Wine for the windows-cross build (its test and build steps
# name this script as the emulator). Usage: scripts/wine_run.sh WINEPREFIX PROGRAM [ARGS...]
# The prefix is the build's own, never the user's ~/.wine; Wine's debug output is off.
set -euo pipefail
export WINEPREFIX="$1"
shift
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs when the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
