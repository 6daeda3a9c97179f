#!/usr/bin/env bash
# The noisy-line section of docs/performance.md and its plot docs/performance-noise.png: seeded
# noisy downloads of a 64 KB firmware on the in-process virtual drive, in virtual time, at
# several noise rates with retries 0 and 3 (bench/noise_runs), counted and checked byte for byte.
#
# usage: scripts/noise_report.sh [BUILD_DIR]    (default: build/default)
# Environment: NOISE_RUNS (runs per point, default 1000), NOISE_RATES (default
# 5e-6,1e-5,2e-5,4e-5,8e-5,1.6e-4), NOISE_JOBS (processes sharing the seeds, default 2).
# Needs gnuplot (DRIVEFLASH_SETUP_REPORT=1 scripts/setup.sh installs it). About six minutes of
# CPU time for the defaults; run it when the machine is quiet. Replaces the section "A noisy
# line" of docs/performance.md (scripts/perf_report.sh keeps it when it writes the rest).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/default}"
docs="$root/docs"
runs="${NOISE_RUNS:-1000}"
rates="${NOISE_RATES:-5e-6,1e-5,2e-5,4e-5,8e-5,1.6e-4}"
jobs="${NOISE_JOBS:-2}"

if ! command -v gnuplot >/dev/null; then
  echo "noise_report: gnuplot is missing; run DRIVEFLASH_SETUP_REPORT=1 scripts/setup.sh" >&2
  exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target noise_runs -j "${JOBS:-1}"

out="$build/perf"
mkdir -p "$out" "$docs"
load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
start=$(date +%s)
echo "noise_report: $runs runs per point at $rates, retries 0 and 3, $jobs processes" >&2
pids=()
for ((part = 0; part < jobs; part++)); do
  "$build/bench/noise_runs" --rates "$rates" --retries 0,3 --runs "$runs" --part "$part/$jobs" \
    >"$out/noise-part-$part.tsv" 2>"$out/noise-part-$part.log" &
  pids+=($!)
done
# Exit status 3 of a process: some run programmed the drive with a wrong byte. The report says
# so; anything else is a failure of the sweep itself.
failed=0
wrong=0
for pid in "${pids[@]}"; do
  status=0
  wait "$pid" || status=$?
  if [ "$status" = 3 ]; then
    wrong=1
  elif [ "$status" != 0 ]; then
    failed=1
  fi
done
took=$(($(date +%s) - start))
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"
cat "$out"/noise-part-*.log >&2
if [ "$failed" != 0 ]; then
  echo "noise_report: a process failed; see $out/noise-part-*.log" >&2
  exit 1
fi
grep -h "wrong bytes:" "$out"/noise-part-*.log | sed 's/^noise_runs: //' >"$out/noise-wrong.txt" || true

# Per point: runs, programmed, wrong, retries used by the programmed runs, and the virtual time
# those with retries took beyond the quiet run, per retry.
awk -F'\t' '
  FNR == 1 { next }
  $1 == 0 { quiet = $7; next }
  {
    k = $1 "\t" $2
    if (!(k in n)) order[++keys] = k
    n[k]++; ok[k] += $4; wrong[k] += $5; started[k] += $4 == 1 && $8 == 1
    if ($4 == 1) { used[k] += $6; if ($6 > 0) { extra[k] += $7 - quiet; per[k] += $6 } }
  }
  END {
    printf "rate\tretries\truns\tprogrammed\twrong\tpercent\tretries_per_run\tseconds_per_retry\tquiet_seconds\tstarted\n"
    for (i = 1; i <= keys; i++) {
      k = order[i]
      printf "%s\t%d\t%d\t%d\t%.1f\t%.3f\t%.3f\t%.3f\t%d\n", k, n[k], ok[k], wrong[k],
             100 * ok[k] / n[k], ok[k] ? used[k] / ok[k] : 0, per[k] ? extra[k] / per[k] : 0, quiet,
             started[k]
    }
  }' "$out"/noise-part-*.tsv | sort -t$'\t' -k1,1g -k2,2n >"$out/noise.tsv"
# The header sorts as a number 0: put it back on top.
{ grep '^rate' "$out/noise.tsv"; grep -v '^rate' "$out/noise.tsv"; } >"$out/noise-points.tsv"
awk -F'\t' 'NR > 1 && $2 == 0' "$out/noise-points.tsv" >"$out/noise-r0.tsv"
awk -F'\t' 'NR > 1 && $2 == 3' "$out/noise-points.tsv" >"$out/noise-r3.tsv"

terminal="pngcairo size 900,520 font 'DejaVu Sans,10'"
gnuplot -e 'set terminal' 2>&1 | grep -q pngcairo || terminal="png size 900,520"
gnuplot <<EOF
set terminal $terminal
set output "$docs/performance-noise.png"
set title "64 KB firmware at 115200 baud on a noisy line: $runs seeded runs per point"
set xlabel "noise rate per byte, either way, while the secondary loader runs"
set ylabel "runs that programmed the drive (%)"
set logscale x
set format x "%.0e"
set yrange [0:105]
set grid
set key bottom left
set arrow from graph 0, first 99 to graph 1, first 99 nohead dt 3 lc rgb "#2ca02c"
set arrow from graph 0, first 30 to graph 1, first 30 nohead dt 3 lc rgb "#d62728"
plot "$out/noise-r0.tsv" using 1:6 with linespoints lw 2 pt 7 lc rgb "#d62728" title "--retries 0 (the run as it was)", \
     "$out/noise-r3.tsv" using 1:6 with linespoints lw 2 pt 5 lc rgb "#1f77b4" title "--retries 3"
EOF

commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
git -C "$root" diff --quiet HEAD -- src 2>/dev/null || commit="$commit with changes to src/ not committed yet"
section="$out/noise.md"
awk -F'\t' -v runs="$runs" -v date="$(date -u +%Y-%m-%d)" -v commit="$commit" \
  -v took="$took" -v jobs="$jobs" -v before="$load_before" -v after="$load_after" \
  -v wrongfile="$out/noise-wrong.txt" '
  NR == 1 { next }
  {
    rows++; rate[rows] = $1; r[rows] = $2; n[rows] = $3; ok[rows] = $4; wrong[rows] = $5
    pct[rows] = $6; used[rows] = $7; per[rows] = $8; quiet = $9
    total += $3; bad += $5; programmed += $4; started += $10
    if ($2 > 0 && $4 > 0 && $8 > 0) { tsum += $8 * $4 * $7; tn += $4 * $7 }
  }
  END {
    print "## A noisy line: retries"
    print ""
    print "Made by `scripts/noise_report.sh` on " date " from commit " commit "."
    print ""
    print "Seeded noisy downloads of a 64 KB firmware (one region from 0x10001000, 256 pages, 16 " \
          "sectors) at 115200 baud, each on a fresh in-process virtual drive on an instant line " \
          "in virtual time (`bench/noise_runs`), by the command line'"'"'s `program` code path with " \
          "the standard timing. The noise strikes each byte either way at the given rate while " \
          "the secondary loader runs: half the hits flip one bit, half lose the byte (`noise=RATE," \
          "seed=S`, S = 1 to " runs "). Every run that programmed the drive had its whole flash " \
          "compared with that of a run on a quiet line, byte for byte."
    print ""
    print "| noise rate | retries | runs | programmed | programmed (%) | wrong bytes in a programmed drive | retries a programmed run used | seconds a retry costs |"
    print "|--:|--:|--:|--:|--:|--:|--:|--:|"
    for (i = 1; i <= rows; i++) {
      printf "| %s | %d | %d | %d | %.1f | %d | %s | %s |\n", rate[i], r[i], n[i], ok[i], pct[i],
             wrong[i], (r[i] ? sprintf("%.2f", used[i]) : ""), ((r[i] && per[i] > 0) ? sprintf("%.2f", per[i]) : "")
    }
    print ""
    met = missed = ""
    for (i = 1; i <= rows; i++) {
      if (r[i] != 0 || pct[i] > 30) continue
      for (j = 1; j <= rows; j++) {
        if (rate[j] != rate[i] || r[j] != 3) continue
        text = sprintf("%s (%.1f %% without retries, %.1f %% with 3)", rate[i], pct[i], pct[j])
        if (pct[j] >= 99) met = met (met == "" ? "" : "; ") text
        else missed = missed (missed == "" ? "" : "; ") text
      }
    }
    print "Aim: at a noise rate where runs without retries program at most 30 % of the drives, " \
          "runs with 3 retries program at least 99 %. " \
          (met == "" ? "Not met: at " missed : "Met at " met (missed == "" ? "" : "; not at " missed)) \
          ". " \
          (bad == 0 ? "No run of the " total " reported success with a wrong byte in flash." \
                    : sprintf("%d of the %d runs reported success with a wrong byte in flash.", bad, total))
    if (bad > 0) {
      print ""
      print "Each run that reported success with wrong bytes had two bytes of one page wrong in " \
            "the same bit (listed below): two hits flipping the same bit of two bytes of one data " \
            "frame cancel out in its XOR checksum, so the loader takes the page as sent and " \
            "programs it, and answers 0x55. Nothing on the line tells such a page from a good " \
            "one; only reading the flash back would (one word per mode-4 request: about 37 s " \
            "for 64 KB at 115200 baud). The chance grows with the square of the noise rate; " \
            "retries do not make such pages, they let runs that meet one live to the end, where " \
            "without retries an earlier hit would have failed them."
      print ""
      while ((getline w < wrongfile) > 0) print "- " w
    }
    print ""
    printf "The closing header that starts the new firmware is sent once and has no reply: of the %d " \
           "programmed runs, %d left the chip in its loader because the noise struck it (the flash " \
           "right, the firmware not started until the header is sent again).\n", programmed,
           programmed - started
    print ""
    printf "A retry costs %.2f s on average (standard timing, virtual time, over the programmed " \
           "runs with retries; a run on a quiet line takes %.2f s): the fault itself (up to the " \
           "1.0 s reply time-out for a lost byte or reply), getting back in step with the loader " \
           "(about 0.1 s on a loader that answers), the sector'"'"'s erase with its 0.2 s pause, and the " \
           "pages of the sector sent so far again, 50 ms each.\n", tn ? tsum / tn : 0, quiet
    print ""
    printf "The sweep took %d s on %d processes (%d runs); load average (1, 5, 15 min) before: %s; after: %s.\n",
           took, jobs, total, before, after
    print ""
    print "![Runs that programmed the drive against the noise rate, retries 0 and 3](performance-noise.png)"
  }' "$out/noise-points.tsv" >"$section"

# Into docs/performance.md: in place of the section it had, else before the last section.
report="$docs/performance.md"
if [ ! -f "$report" ]; then
  echo "# Performance" >"$report"
fi
awk -v section="$section" '
  function put() { while ((getline l < section) > 0) print l; print ""; done = 1 }
  /^## A noisy line/ { skipping = 1; if (!done) put(); next }
  skipping && /^## / { skipping = 0 }
  skipping { next }
  /^## Making this report again/ && !done { put() }
  { print }
  END { if (!done) { print ""; put() } }' "$report" >"$report.new"
mv "$report.new" "$report"
echo "noise_report: wrote the noisy-line section of $report and $docs/performance-noise.png" >&2
if [ "$wrong" != 0 ]; then
  echo "noise_report: some runs programmed a drive with wrong bytes: $out/noise-wrong.txt" >&2
  exit 3
fi
