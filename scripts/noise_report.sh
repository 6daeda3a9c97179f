#!/usr/bin/env bash
# The noisy-line section of docs/performance.md and its plot docs/performance-noise.png: seeded
# noisy downloads of a 64 KB firmware on the in-process virtual drive, in virtual time, at
# several noise rates with retries 0 and 3, and with retries 3 and the read-back (--verify)
# (bench/noise_runs), counted and checked byte for byte.
#
# usage: scripts/noise_report.sh [BUILD_DIR]    (default: build/default)
# Environment: NOISE_SWEEPS (which sweeps to run: "retries" (0 and 3), "verify" (3 with the
# read-back) or both, the default; a sweep not run keeps its figures from the report as they
# stand), NOISE_RUNS (runs per point, default 1000), NOISE_RATES (the retries sweep's, default
# 5e-6,1e-5,2e-5,4e-5,8e-5,1.6e-4), NOISE_VERIFY_RATES (the read-back's, default
# 2e-5,4e-5,8e-5,1.6e-4), NOISE_JOBS (processes sharing the seeds, default 2).
# Needs gnuplot (DRIVEFLASH_SETUP_REPORT=1 scripts/setup.sh installs it). About six minutes of
# CPU time for the retries sweep, four for the read-back's; run it when the machine is quiet.
# Replaces the section "A noisy line" of docs/performance.md (scripts/perf_report.sh keeps it
# when it writes the rest).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/default}"
docs="$root/docs"
report="$docs/performance.md"
sweeps="${NOISE_SWEEPS:-retries verify}"
runs="${NOISE_RUNS:-1000}"
rates="${NOISE_RATES:-5e-6,1e-5,2e-5,4e-5,8e-5,1.6e-4}"
verify_rates="${NOISE_VERIFY_RATES:-2e-5,4e-5,8e-5,1.6e-4}"
jobs="${NOISE_JOBS:-2}"
sweeping() { [[ " $sweeps " == *" $1 "* ]]; }

if ! command -v gnuplot >/dev/null; then
  echo "noise_report: gnuplot is missing; run DRIVEFLASH_SETUP_REPORT=1 scripts/setup.sh" >&2
  exit 1
fi
if ! sweeping retries && ! sweeping verify; then
  echo "noise_report: NOISE_SWEEPS names neither 'retries' nor 'verify'" >&2
  exit 2
fi
# A sweep not run keeps what the report says of it: the report must have it.
kept_part() { # $1: retries | verify; prints that sweep's part of the report's section
  [ -f "$report" ] || return 0
  awk -v part="$1" '
    /^## A noisy line/ { on = 1; in_verify = 0 }
    on && /^## / && !/^## A noisy line/ { on = 0 }
    on && /^### Reading the flash back/ { in_verify = 1 }
    on && /^!\[/ { next }
    on && ((part == "verify") == in_verify) { print }' "$report" |
    sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'
}
for sweep in retries verify; do
  if ! sweeping "$sweep" && [ -z "$(kept_part "$sweep")" ]; then
    echo "noise_report: $report has no $sweep part to keep; run with NOISE_SWEEPS including $sweep" >&2
    exit 2
  fi
done
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target noise_runs -j "${JOBS:-1}"

out="$build/perf"
mkdir -p "$out" "$docs"
commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
git -C "$root" diff --quiet HEAD -- src 2>/dev/null || commit="$commit with changes to src/ not committed yet"
today="$(date -u +%Y-%m-%d)"

# Runs one sweep in $jobs processes: $1 its name, then noise_runs' arguments. Leaves
# $out/noise-$1-part-*.tsv and .log, and "seconds|load before|load after" in $out/noise-$1.took.
# Returns 3 when some run programmed a drive with a wrong byte.
sweep() {
  local name="$1"
  shift
  local before after start pids=() status failed=0 wrong=0
  rm -f "$out/noise-$name"-part-*
  before="$(cut -d' ' -f1-3 /proc/loadavg)"
  start=$(date +%s)
  for ((part = 0; part < jobs; part++)); do
    "$build/bench/noise_runs" "$@" --runs "$runs" --part "$part/$jobs" \
      >"$out/noise-$name-part-$part.tsv" 2>"$out/noise-$name-part-$part.log" &
    pids+=($!)
  done
  # Exit status 3 of a process: some run programmed the drive with a wrong byte. The report
  # says so; anything else is a failure of the sweep itself.
  for pid in "${pids[@]}"; do
    status=0
    wait "$pid" || status=$?
    if [ "$status" = 3 ]; then
      wrong=1
    elif [ "$status" != 0 ]; then
      failed=1
    fi
  done
  after="$(cut -d' ' -f1-3 /proc/loadavg)"
  echo "$(($(date +%s) - start))|$before|$after" >"$out/noise-$name.took"
  cat "$out/noise-$name"-part-*.log >&2
  if [ "$failed" != 0 ]; then
    echo "noise_report: a process failed; see $out/noise-$name-part-*.log" >&2
    exit 1
  fi
  grep -h "wrong bytes:" "$out/noise-$name"-part-*.log | sed 's/^noise_runs: //' \
    >"$out/noise-$name-wrong.txt" || true
  return $((wrong ? 3 : 0))
}

# Per point (rate, retries, read-back): runs, programmed, wrong, percent, retries used by the
# programmed runs, the virtual time those with retries took beyond the quiet run per retry, the
# quiet run's seconds, started, read-back retries, programmed runs whose read-back found a
# difference, runs that ended on "Verification error". Then the quiet reference runs (rate 0).
points() { # $1: sweep name
  awk -F'\t' '
    FNR == 1 { next }
    $1 == 0 { if ($10 == 0) quiet = $7; else timed[$9] = $7; next }
    {
      k = $1 "\t" $2 "\t" $9
      if (!(k in n)) order[++keys] = k
      n[k]++; ok[k] += $4; wrong[k] += $5; started[k] += $4 == 1 && $8 == 1
      if ($4 == 1) {
        used[k] += $6; rb[k] += $11; found[k] += $11 > 0
        if ($6 > 0) { extra[k] += $7 - quiet; per[k] += $6 }
      }
      ended[k] += $12 == "Verification error"
    }
    END {
      for (i = 1; i <= keys; i++) {
        k = order[i]
        printf "%s\t%d\t%d\t%d\t%.1f\t%.3f\t%.3f\t%.3f\t%d\t%d\t%d\t%d\n", k, n[k], ok[k], wrong[k],
               100 * ok[k] / n[k], ok[k] ? used[k] / ok[k] : 0, per[k] ? extra[k] / per[k] : 0,
               quiet, started[k], rb[k], found[k], ended[k]
      }
      if (1 in timed) printf "timed\t%.3f\t%.3f\n", timed[0], timed[1]
    }' "$out/noise-$1"-part-*.tsv | sort -t$'\t' -k1,1g -k2,2n >"$out/noise-$1-points.tsv"
}

wrong_found=0
if sweeping retries; then
  echo "noise_report: $runs runs per point at $rates, retries 0 and 3, $jobs processes" >&2
  sweep retries --rates "$rates" --retries 0,3 --verify 0 || wrong_found=$?
  [ "$wrong_found" = 3 ] || [ "$wrong_found" = 0 ] || exit 1
  points retries
  IFS='|' read -r took before after <"$out/noise-retries.took"
  # Columns of noise-retries-points.tsv: 1 rate, 2 retries, 3 verify, 4 runs, 5 programmed,
  # 6 wrong, 7 percent, 8 retries per programmed run, 9 seconds per retry, 10 quiet seconds,
  # 11 started.
  awk -F'\t' -v runs="$runs" -v date="$today" -v commit="$commit" \
    -v took="$took" -v jobs="$jobs" -v before="$before" -v after="$after" \
    -v wrongfile="$out/noise-retries-wrong.txt" '
    $1 == "timed" { next }
    {
      rows++; rate[rows] = $1; r[rows] = $2; n[rows] = $4; ok[rows] = $5; wrong[rows] = $6
      pct[rows] = $7; used[rows] = $8; per[rows] = $9; quiet = $10
      total += $4; bad += $6; programmed += $5; started += $11
      if ($2 > 0 && $5 > 0 && $9 > 0) { tsum += $9 * $5 * $8; tn += $5 * $8 }
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
    }' "$out/noise-retries-points.tsv" >"$out/noise-retries.md"
  # The plot's points: rate, percent.
  awk -F'\t' '$1 != "timed" && $2 == 0 { print $1 "\t" $7 }' "$out/noise-retries-points.tsv" >"$out/noise-r0.tsv"
  awk -F'\t' '$1 != "timed" && $2 == 3 { print $1 "\t" $7 }' "$out/noise-retries-points.tsv" >"$out/noise-r3.tsv"
else
  kept_part retries >"$out/noise-retries.md"
fi
# The retries sweep's table as the section now has it: rate, retries, runs, programmed, percent,
# wrong (for the plot when kept, and for the read-back's comparison).
awk -F'|' '/^\| [0-9]/ {
    for (i = 2; i <= 7; i++) gsub(/ /, "", $i)
    print $2 "\t" $3 "\t" $4 "\t" $5 "\t" $6 "\t" $7
  }' "$out/noise-retries.md" >"$out/noise-retries-table.tsv"
if ! sweeping retries; then
  awk -F'\t' '$2 == 0 { print $1 "\t" $5 }' "$out/noise-retries-table.tsv" >"$out/noise-r0.tsv"
  awk -F'\t' '$2 == 3 { print $1 "\t" $5 }' "$out/noise-retries-table.tsv" >"$out/noise-r3.tsv"
fi

if sweeping verify; then
  echo "noise_report: $runs runs per point at $verify_rates, retries 3 and --verify, $jobs processes" >&2
  status=0
  sweep verify --rates "$verify_rates" --retries 3 --verify 1 || status=$?
  [ "$status" = 3 ] || [ "$status" = 0 ] || exit 1
  [ "$status" = 3 ] && wrong_found=3
  points verify
  IFS='|' read -r took before after <"$out/noise-verify.took"
  # Columns as above, then 12 read-back retries, 13 runs whose read-back found a difference,
  # 14 runs that ended on "Verification error"; and the "timed" row: the quiet run's seconds with
  # the bytes' time on the wire, without and with the read-back.
  awk -F'\t' -v runs="$runs" -v date="$today" -v commit="$commit" \
    -v took="$took" -v jobs="$jobs" -v before="$before" -v after="$after" \
    -v wrongfile="$out/noise-verify-wrong.txt" -v without="$out/noise-retries-table.tsv" '
    BEGIN {
      while ((getline line < without) > 0) {
        split(line, f, "\t")
        if (f[2] == 3) { wpct[f[1] + 0] = f[5]; wbad[f[1] + 0] = f[6] }
      }
    }
    $1 == "timed" { plain = $2; verified = $3; next }
    {
      rows++; rate[rows] = $1; n[rows] = $4; ok[rows] = $5; wrong[rows] = $6; pct[rows] = $7
      used[rows] = $8; rb[rows] = $12; found[rows] = $13; ended[rows] = $14
      total += $4; bad += $6
    }
    END {
      print "### Reading the flash back: --verify"
      print ""
      print "Made by `scripts/noise_report.sh` on " date " from commit " commit "."
      print ""
      print "The same downloads with `--retries 3 --verify` (S = 1 to " runs "): once every page " \
            "is in, each word of each page sent is read back with the loader'"'"'s one-word read and " \
            "compared with what was sent; a sector that differs is erased and programmed again " \
            "within its retries, and a run whose sector has no retries left ends on Verification " \
            "error. The noise strikes the reads and their replies too (16,384 reads, 425,984 bytes on the " \
            "line, six times the download'"'"'s bytes): a reply garbled or lost is read again once back " \
            "in step, and a read that cannot be brought back in step ends the run. The columns " \
            "without the read-back are the retries sweep'"'"'s above (`--retries 3`)."
      print ""
      print "| noise rate | runs | programmed (%) with --verify | wrong bytes in a programmed drive, with --verify | programmed (%) without | wrong bytes without | runs whose read-back found a difference | sectors programmed again for it | runs that ended on Verification error | retries a programmed run used |"
      print "|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
      for (i = 1; i <= rows; i++) {
        k = rate[i] + 0
        printf "| %s | %d | %.1f | %d | %s | %s | %d | %d | %d | %.2f |\n", rate[i], n[i], pct[i],
               wrong[i], (k in wpct ? wpct[k] : ""), (k in wbad ? wbad[k] : ""), found[i], rb[i],
               ended[i], used[i]
      }
      print ""
      print (bad == 0 ? "No run of the " total " with the read-back reported success with a wrong byte in flash." \
                      : sprintf("%d of the %d runs with the read-back reported success with a wrong byte in flash:", bad, total))
      if (bad > 0) {
        print ""
        while ((getline w < wrongfile) > 0) print "- " w
      }
      print ""
      printf "What the read-back costs: a quiet 64 KB run with the bytes'"'"' time on the wire at 115200 " \
             "baud (`line-time`, virtual time, standard timing) takes %.2f s without it and %.2f s " \
             "with it: %.2f s for 16,384 one-word reads of 26 bytes on the wire each. On a noisy line a " \
             "read whose reply is lost costs its 1.0 s time-out and getting back in step as well.\n",
             plain, verified, verified - plain
      print ""
      printf "The sweep took %d s on %d processes (%d runs); load average (1, 5, 15 min) before: %s; after: %s.\n",
             took, jobs, total, before, after
    }' "$out/noise-verify-points.tsv" >"$out/noise-verify.md"
  awk -F'\t' '$1 != "timed" { print $1 "\t" $7 }' "$out/noise-verify-points.tsv" >"$out/noise-r3v.tsv"
else
  kept_part verify >"$out/noise-verify.md"
  awk -F'|' '/^\| [0-9]/ { gsub(/ /, "", $2); gsub(/ /, "", $4); print $2 "\t" $4 }' \
    "$out/noise-verify.md" >"$out/noise-r3v.tsv"
fi

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
plot "$out/noise-r0.tsv" using 1:2 with linespoints lw 2 pt 7 lc rgb "#d62728" title "--retries 0 (the run as it was)", \
     "$out/noise-r3.tsv" using 1:2 with linespoints lw 2 pt 5 lc rgb "#1f77b4" title "--retries 3", \
     "$out/noise-r3v.tsv" using 1:2 with linespoints lw 2 pt 9 lc rgb "#2ca02c" title "--retries 3 --verify"
EOF

section="$out/noise.md"
{
  cat "$out/noise-retries.md"
  echo
  cat "$out/noise-verify.md"
  echo
  echo "![Runs that programmed the drive against the noise rate: retries 0, retries 3, and retries 3 with the read-back](performance-noise.png)"
} >"$section"

# Into docs/performance.md: in place of the section it had, else before the last section.
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
if [ "$wrong_found" != 0 ]; then
  echo "noise_report: some runs programmed a drive with wrong bytes: $out/noise-*-wrong.txt" >&2
  exit 3
fi
