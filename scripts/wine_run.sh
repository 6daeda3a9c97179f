#!/usr/bin/env bash
# Runs the windows-cross build's programs under Wine, in the build's own prefix (never the
# user's ~/.wine), with one Wine environment for every caller.
#
#   scripts/wine_run.sh PREFIX PROGRAM [ARGS...]  run one program (the tests' emulator)
#   scripts/wine_run.sh PREFIX --start            make the prefix if it is new, then start
#                                                 the one server every program of the run uses
#   scripts/wine_run.sh PREFIX --stop             end that server and all that runs in it
set -euo pipefail
export WINEPREFIX="$1"
shift
# Wine's own errors stay on: a program that Wine cannot start says why instead of ending
# without a word.
export WINEDEBUG=-all,err+all
# No Mono or Gecko installer dialogs when the prefix is made, and no menu entries or file
# associations written into the user's home.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Every Windows process needs the page at 0x7ffe0000 (the shared user data). Debian's Wine has
# no preloader to keep it free, and with address-space randomisation the C heap of the Wine
# loader (linked at 0x7d000000) starts anywhere in the gigabyte above it: now and then it
# already covers that page, and the program ends at once with status 1 ("failed to map the
# shared user data"). Without randomisation the heap starts right after the loader, far below.
# The programs that Wine's processes start inherit this.
norandom=(setarch -R)

# Wine's start-up steps write to a log beside the prefix, away from the callers' pipes (the
# services they start keep their output open until they end); a failing step shows it.
boot() {
  local log="$WINEPREFIX.log"
  if ! "$@" >>"$log" 2>&1; then
    echo "wine: '$*' failed in $WINEPREFIX; its output ($log):" >&2
    cat "$log" >&2
    exit 1
  fi
}

case "${1:-}" in
  --start)
    start=$SECONDS
    # A server left over from an interrupted run would serve a half-finished session.
    wineserver -k 2>/dev/null || true
    wineserver -w
    : >"$WINEPREFIX.log"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      # Making the prefix runs wine.inf and starts Wine's services under a server of its
      # own; once that server has ended, all of it has finished and the registry is on disk.
      boot "${norandom[@]}" wineboot --init
      wineserver -w
    fi
    wineserver -p
    # The session's services start before the first program, which then finds them running.
    boot "${norandom[@]}" wineboot
    echo "wine: $WINEPREFIX ready, one server for the run ($((SECONDS - start)) s)"
    ;;
  --stop)
    wineserver -k 2>/dev/null || true
    wineserver -w
    ;;
  *)
    exec "${norandom[@]}" wine "$@"
    ;;
esac
