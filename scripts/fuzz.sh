#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs them, one at a time on one core.
#
#   scripts/fuzz.sh              build only
#   scripts/fuzz.sh smoke        every target briefly from its seed corpus (CI); fails on any
#                                crash, leak, sanitizer report or broken property
#   scripts/fuzz.sh long N       every target for N executions; prints executions, exec/s and
#                                wall time per target
#   scripts/fuzz.sh long N TARGET...   only those targets
#
# One target runs at a time, in-process on one core (no -jobs/-workers).
# The seed corpora in fuzz/corpus/ stay as they are: what a run discovers goes to a scratch
# directory (FUZZ_WORK, default a temporary one, removed afterwards unless it was given).
# A crashing input is left there as crash-* (or leak-*, timeout-*) and printed in base64;
# turn it into a regression test under tests/fuzz_regressions/.
set -euo pipefail
cd "$(dirname "$0")/.."

targets_all=(flash_image_fuzz file_check_fuzz download_fuzz check_fuzz drive_frames_fuzz)
mode="${1:-build}"

# FUZZ_SKIP_BUILD=1 runs the targets as they were built last.
if [ "${FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  ./scripts/setup.sh
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
fi
[ "$mode" = build ] && exit 0

case "$mode" in
  smoke)
    runs_args=(-max_total_time="${FUZZ_SMOKE_SECONDS:-20}")
    targets=("${targets_all[@]}")
    ;;
  long)
    [[ "${2:-}" =~ ^[0-9]+$ ]] || { echo "usage: $0 long N [TARGET...]" >&2; exit 2; }
    runs_args=(-runs="$2")
    shift 2
    if [ "$#" -gt 0 ]; then targets=("$@"); else targets=("${targets_all[@]}"); fi
    ;;
  *)
    echo "usage: $0 [smoke | long N [TARGET...]]" >&2
    exit 2
    ;;
esac

work="${FUZZ_WORK:-}"
if [ -z "$work" ]; then
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
summary=()
for t in "${targets[@]}"; do
  bin="build/fuzz/fuzz/$t"
  [ -x "$bin" ] || { echo "fuzz: no target $t" >&2; exit 2; }
  mkdir -p "$work/$t/corpus"
  log="$work/$t/log"
  echo "fuzz: $t ${runs_args[*]}"
  start=$(date +%s.%N)
  # A hang in virtual time is an endless loop: 10 s for one input is a failure. Inputs stay
  # below 1 KB (FUZZ_MAX_LEN): every reader works record by record, and short inputs run fast.
  if "$bin" "${runs_args[@]}" -max_len="${FUZZ_MAX_LEN:-1024}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/$t/" "$work/$t/corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed+=("$t")
    grep -v '^#' "$log" | tail -n 60 >&2
  fi
  wall=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", b - a }')
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -n 1)
  summary+=("$(printf '%-18s %-6s %12s %9s %9s %8s' "$t" "$status" "${execs:-?}" "${rate:-?}" \
    "$wall" "${rss:-?}")")
done

printf '%-18s %-6s %12s %9s %9s %8s\n' target result executions exec/s wall_s rss_mb
printf '%s\n' "${summary[@]}"
if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: FAILED: ${failed[*]} (inputs in $work)" >&2
  trap - EXIT
  exit 1
fi
