#!/usr/bin/env bash
# Regenerates docs/performance.md and docs/performance.png: programming runs on the virtual
# drive in real time for firmware of 8, 32, 64 and 200 KB, plain and encrypted, each in a
# process of its own (bench/perf_runs); both timing profiles against the physical floor for 8,
# 64 and 200 KB with the bytes paced and the chip's page and erase times; and the window's
# event-loop latency during a 200 KB encrypted run (bench/gui_latency, under Xvfb when it is
# installed, else Qt's offscreen platform).
#
# usage: scripts/perf_report.sh [BUILD_DIR]    (default: build/default)
# Needs gnuplot (DRIVEFLASH_SETUP_REPORT=1 scripts/setup.sh installs it). Takes about eleven
# minutes: the runs take the time the protocol's waits take, about 45 s for 200 KB. Builds with
# one job; set JOBS to change that. Measure on a quiet machine: the load is recorded in the
# report, not avoided.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/default}"
docs="$root/docs"
jobs="${JOBS:-1}"
# For a quick look at the script itself: PERF_SIZES=8 PERF_GUI_KB=8 scripts/perf_report.sh
sizes="${PERF_SIZES:-8,32,64,200}"
gui_size="${PERF_GUI_KB:-200}"
profile_sizes="${PERF_PROFILE_SIZES:-8,64,200}"
# The chip's own time: 4 ms to program a page; the erase time per sector is an assumption.
page_ms="${PERF_PAGE_MS:-4}"
erase_ms="${PERF_ERASE_MS:-20}"

if ! command -v gnuplot >/dev/null; then
  echo "perf_report: gnuplot is missing; run DRIVEFLASH_SETUP_REPORT=1 scripts/setup.sh" >&2
  exit 1
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target perf_runs gui_latency parallel_runs -j "$jobs"

out="$build/perf"
mkdir -p "$out" "$docs"
runs="$out/runs.tsv"
gui="$out/gui.tsv"
profiles="$out/profiles.tsv"

load_before="$(cut -d' ' -f1-3 /proc/loadavg)"
echo "perf_report: programming runs (wall time, waits, bytes, CPU, memory)" >&2
"$build/bench/perf_runs" --sizes "$sizes" --kinds hex,ehex --line both >"$runs"
echo "perf_report: both timing profiles, bytes paced, page ${page_ms} ms, erase ${erase_ms} ms" >&2
"$build/bench/perf_runs" --sizes "$profile_sizes" --kinds hex,ehex --line paced --timing both \
  --page-time "$page_ms" --erase-time "$erase_ms" >"$profiles"

echo "perf_report: the window's event loop during a ${gui_size} KB encrypted run" >&2
gui_cmd=("$build/bench/gui_latency" --size "$gui_size" --kind ehex --line paced --interval 5)
if command -v xvfb-run >/dev/null; then
  QT_QPA_PLATFORM=xcb xvfb-run --auto-servernum --server-args="-screen 0 1280x900x24" \
    "${gui_cmd[@]}" >"$gui" 2>"$out/gui.log"
else
  QT_QPA_PLATFORM=offscreen "${gui_cmd[@]}" >"$gui" 2>"$out/gui.log"
fi
echo "perf_report: 1, 2, 4 and 8 drives at once on pseudo-terminals" >&2
parallel_load="$(cut -d' ' -f1-3 /proc/loadavg)"
"$build/bench/parallel_runs" --kb 8 >"$out/parallel.md"
load_after="$(cut -d' ' -f1-3 /proc/loadavg)"
if grep -q FAILED "$runs" "$profiles" || ! grep -q $'^result\tok' "$gui"; then
  echo "perf_report: a run failed; see $runs, $profiles, $gui and $out/gui.log" >&2
  exit 1
fi

# The plot: wall time and waits against the firmware size.
awk -F'\t' 'NR > 1 && $3 == "instant" && $2 == "hex"' "$runs" >"$out/hex.tsv"
awk -F'\t' 'NR > 1 && $3 == "instant" && $2 == "ehex"' "$runs" >"$out/ehex.tsv"
awk -F'\t' 'NR > 1 && $3 == "paced" && $2 == "hex"' "$runs" >"$out/hex-paced.tsv"
awk -F'\t' 'NR > 1 && $3 == "paced" && $2 == "ehex"' "$runs" >"$out/ehex-paced.tsv"
awk -F'\t' 'NR > 1 && $2 == "hex" && $22 == "standard"' "$profiles" >"$out/hex-standard.tsv"
awk -F'\t' 'NR > 1 && $2 == "hex" && $22 == "fast"' "$profiles" >"$out/hex-fast.tsv"
awk -F'\t' 'NR > 1 && $2 == "ehex" && $22 == "fast"' "$profiles" >"$out/ehex-fast.tsv"
terminal="pngcairo size 900,1150 font 'DejaVu Sans,10'"
gnuplot -e 'set terminal' 2>&1 | grep -q pngcairo || terminal="png size 900,1150"
gnuplot <<EOF
set terminal $terminal
set output "$docs/performance.png"
set multiplot layout 3,1 title "Programming run on the virtual drive, real time"
set xlabel "firmware size (KB)"
set key top left
set grid
set xrange [0:*]
set yrange [0:*]
set ylabel "seconds"
set title "Wall time and the waits the protocol asks for"
plot "$out/hex.tsv" using 1:6 with linespoints lw 2 pt 7 lc rgb "black" title "waits", \
     "$out/hex.tsv" using 1:5 with linespoints pt 4 lc rgb "#1f77b4" title "wall time, plain (.hex)", \
     "$out/ehex.tsv" using 1:5 with linespoints pt 6 lc rgb "#d62728" title "wall time, encrypted (.ehex)", \
     "$out/hex-paced.tsv" using 1:5 with linespoints dt 2 pt 4 lc rgb "#1f77b4" title "wall time, plain, bytes paced", \
     "$out/ehex-paced.tsv" using 1:5 with linespoints dt 2 pt 6 lc rgb "#d62728" title "wall time, encrypted, bytes paced"
set title "What a run takes beyond the waits (wall time - waits)"
plot "$out/hex.tsv" using 1:(\$5-\$6) with linespoints pt 4 lc rgb "#1f77b4" title "plain", \
     "$out/ehex.tsv" using 1:(\$5-\$6) with linespoints pt 6 lc rgb "#d62728" title "encrypted", \
     "$out/hex-paced.tsv" using 1:(\$5-\$6) with linespoints dt 2 pt 4 lc rgb "#1f77b4" title "plain, bytes paced", \
     "$out/ehex-paced.tsv" using 1:(\$5-\$6) with linespoints dt 2 pt 6 lc rgb "#d62728" title "encrypted, bytes paced"
set title "Timing profiles, bytes paced, page ${page_ms} ms, erase ${erase_ms} ms: the command from start to exit"
plot "$out/hex-standard.tsv" using 1:19 with linespoints pt 4 lc rgb "#1f77b4" title "standard, plain", \
     "$out/hex-fast.tsv" using 1:19 with linespoints pt 4 lc rgb "#2ca02c" title "fast, plain", \
     "$out/ehex-fast.tsv" using 1:19 with linespoints pt 6 lc rgb "#2ca02c" title "fast, encrypted", \
     "$out/hex-fast.tsv" using 1:26 with linespoints lw 2 pt 7 lc rgb "black" title "physical floor"
unset multiplot
EOF

cpu="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
commit="$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)"
git -C "$root" diff --quiet HEAD -- src 2>/dev/null || commit="$commit with changes to src/ not committed yet"
build_type="$(grep -m1 '^CMAKE_BUILD_TYPE' "$build/CMakeCache.txt" | cut -d= -f2)"
value() { awk -F'\t' -v k="$1" '$1 == k { print $2 }' "$gui"; }
export PERF_CPU="$cpu" PERF_CORES="$(nproc)" PERF_COMMIT="$commit" PERF_BUILD="$build_type"
export PERF_DATE="$(date -u +%Y-%m-%d)" PERF_LOAD_BEFORE="$load_before" PERF_LOAD_AFTER="$load_after"
export PERF_GUI_PLATFORM="$(value platform)" PERF_GUI_KB="$(value firmware_kb)"
export PERF_GUI_INTERVAL="$(value interval_ms)" PERF_GUI_WALL="$(value run_wall_s)"
export PERF_GUI_WAITS="$(value waits_s)" PERF_GUI_PAGES="$(value pages)"
for k in idle run; do
  for f in samples p50_ms p99_ms max_ms; do
    export "PERF_GUI_${k^^}_${f^^}=$(value "${k}_${f}")"
  done
done

# Writes the report from runs.tsv (columns as perf_runs prints them) and the PERF_* variables.
markdown="$(cat <<'AWK'
function e(name) { return ENVIRON["PERF_" name] }
function kb(k) { return k " KB" }
function file(kind) { return kind == "ehex" ? "encrypted" : "plain" }
# Least squares y = a + b x over the instant runs of one kind.
function fit(kind, col,   i, n, sx, sy, sxx, sxy, x, y) {
  n = sx = sy = sxx = sxy = 0
  for (i = 1; i <= rows; i++) {
    if (line[i] != "instant" || kinds[i] != kind) continue
    x = pages[i]; y = val[i, col]
    n++; sx += x; sy += y; sxx += x * x; sxy += x * y
  }
  fit_b = n * sxx - sx * sx > 0 ? (n * sxy - sx * sy) / (n * sxx - sx * sx) : 0
  fit_a = (sy - fit_b * sx) / n
}
NR == 1 { next }
{
  rows++
  size[rows] = $1; kinds[rows] = $2; line[rows] = $3; pages[rows] = $4
  for (c = 5; c <= NF; c++) val[rows, c] = $c
}
END {
  loader_baud = val[1, 8]; drive_baud = val[1, 12]
  own = 0
  for (i = 1; i <= rows; i++) if (val[i, 15] / val[i, 5] > own) own = val[i, 15] / val[i, 5]
  own = sprintf("%.3f", own)
  print "# Performance"
  print ""
  print "Made by `scripts/perf_report.sh` on " e("DATE") " from commit " e("COMMIT") " (" e("BUILD") \
        " build); run it again rather than editing this file."
  print ""
  print "Machine: " e("CORES") " cores (" e("CPU") "), shared with other work. Load average " \
        "(1, 5, 15 min) before the runs: " e("LOAD_BEFORE") "; after: " e("LOAD_AFTER") \
        ". The column *busy cores* gives the cores busy on average during each run, that " \
        "run's own share included (its CPU time over its wall time: at most " own " of a core)."
  print ""
  print "Each run programs a fresh in-process virtual drive in real time, by the command " \
        "line's `program` code path, in a process of its own: CPU time and peak memory " \
        "(`getrusage` of that process) are the run's alone. Drive baud rate " drive_baud \
        ", loader baud rate " loader_baud ", 8N1: 10 bits a byte on the line. Firmware: one " \
        "region from 0x10001000 of pseudo-random bytes; the encrypted file is the same " \
        "firmware enciphered, deciphered during the run. One run per row."
  print ""
  print "## Wall time against the waits the protocol asks for"
  print ""
  print "The drive's replies arrive as soon as it has them, so the wall time is the sum of " \
        "the waits (every `Delay` and `Sleep` of the run) plus what the tool itself adds. " \
        "Aim: wall ÷ waits at most 1.02. *Line time* is the time the bytes that went " \
        "through the port at the loader baud rate need on a real line."
  print ""
  print "| firmware | file | pages | wall (s) | waits (s) | wall ÷ waits | bytes at " loader_baud \
        " baud, sent + received | line time (s) | CPU (s) | peak memory (MB) | busy cores |"
  print "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
  worst = 0; misses = ""
  for (i = 1; i <= rows; i++) {
    if (line[i] != "instant") continue
    printf "| %s | %s | %d | %.2f | %.2f | %.4f | %d + %d | %.2f | %.3f | %.1f | %.2f |\n",
           kb(size[i]), file(kinds[i]), pages[i], val[i, 5], val[i, 6], val[i, 7], val[i, 9],
           val[i, 10], val[i, 11], val[i, 15], val[i, 18] / 1024, val[i, 20]
    if (val[i, 7] > worst) worst = val[i, 7]
    if (val[i, 7] > 1.02) misses = misses " " kb(size[i]) " " file(kinds[i]) ";"
  }
  print ""
  if (misses == "") printf "Aim met: the largest ratio is %.4f.\n", worst
  else print "Aim missed by:" misses " see the busy cores."
  printf "The Modbus exchange with the drive's firmware at %d baud adds %d + %d bytes, %.3f s on the line.\n",
         drive_baud, val[1, 13], val[1, 14], (val[1, 13] + val[1, 14]) * 10 / drive_baud
  print ""
  print "## With the bytes paced at the baud rate"
  print ""
  print "The same runs with the virtual drive's `line-time` option: every byte takes its time " \
        "on the wire, as on a real line at " loader_baud " baud."
  print ""
  print "| firmware | file | wall (s) | waits (s) | wall ÷ waits | line time (s) | wall − waits (s) |"
  print "|---|---|--:|--:|--:|--:|--:|"
  for (i = 1; i <= rows; i++) {
    if (line[i] != "paced") continue
    printf "| %s | %s | %.2f | %.2f | %.4f | %.2f | %.2f |\n", kb(size[i]), file(kinds[i]),
           val[i, 5], val[i, 6], val[i, 7], val[i, 11], val[i, 5] - val[i, 6]
  }
  print ""
  lo = hi = ""
  for (i = 1; i <= rows; i++) {
    if (line[i] != "paced") continue
    for (j = 1; j <= rows; j++) {
      if (line[j] != "instant" || size[j] != size[i] || kinds[j] != kinds[i]) continue
      d = val[i, 5] - val[j, 5]
      if (lo == "" || d < lo) lo = d
      if (hi == "" || d > hi) hi = d
    }
  }
  printf "Most of the line time passes during the 50 ms the protocol waits after each data " \
         "frame (a 264-byte frame needs %.1f ms at %d baud, its reply %.2f ms). What shows is " \
         "mostly the 4096-byte secondary loader, which nothing waits behind (%.2f s): the " \
         "paced runs take %.2f to %.2f s longer than the same runs above, whatever the size.\n",
         264 * 10000 / loader_baud, loader_baud, 10000 / loader_baud, 4096 * 10 / loader_baud,
         lo, hi
  print ""
  print "## The window's event loop during a run"
  print ""
  print "`bench/gui_latency` starts the window as the program does (Qt back end of the panels, " \
        "dialogs and sound; platform `" e("GUI_PLATFORM") "`), plays the operator through a " \
        e("GUI_KB") " KB encrypted run on the virtual drive with the bytes paced (" \
        e("GUI_PAGES") " pages, " e("GUI_WALL") " s from Program to OK, waits " e("GUI_WAITS") \
        " s), and meanwhile notes how much later than its interval each tick of a " \
        e("GUI_INTERVAL") " ms timer on the GUI thread comes. Aim: under 50 ms at the 99th " \
        "percentile."
  print ""
  print "| | ticks | p50 (ms) | p99 (ms) | max (ms) |"
  print "|---|--:|--:|--:|--:|"
  print "| the idle window, its first second | " e("GUI_IDLE_SAMPLES") " | " e("GUI_IDLE_P50_MS") " | " \
        e("GUI_IDLE_P99_MS") " | " e("GUI_IDLE_MAX_MS") " |"
  print "| during the run | " e("GUI_RUN_SAMPLES") " | " e("GUI_RUN_P50_MS") " | " \
        e("GUI_RUN_P99_MS") " | " e("GUI_RUN_MAX_MS") " |"
  print ""
  print (e("GUI_RUN_P99_MS") + 0 < 50 ? "Aim met." : "Aim missed.")
  print ""
  print "## How the cost grows with the firmware size"
  print ""
  fit("hex", 5); a_hex = fit_a; b_hex = fit_b
  fit("ehex", 5); b_ehex = fit_b
  fit("hex", 6); a_wait = fit_a; b_wait = fit_b
  for (i = 1; i <= rows; i++) {
    if (line[i] != "instant") continue
    if (!(kinds[i] in first)) first[kinds[i]] = i
    last[kinds[i]] = i
  }
  h0 = first["hex"]; h1 = last["hex"]; x0 = first["ehex"]; x1 = last["ehex"]
  printf "The cost grows linearly with the size: a run takes %.1f s of fixed steps " \
         "(drive link, loader entry and upload, erasing the sectors) plus %.1f ms per " \
         "256-byte page (%.1f ms encrypted), of which the protocol's waits are %.1f s and " \
         "%.1f ms (its 50 ms after each data frame). CPU time goes from %.3f s at %s to " \
         "%.3f s at %s (encrypted: %.3f to %.3f s), peak memory from %.1f to %.1f MB " \
         "(encrypted: %.1f to %.1f MB).\n",
         a_hex, b_hex * 1000, b_ehex * 1000, a_wait, b_wait * 1000, val[h0, 15], kb(size[h0]),
         val[h1, 15], kb(size[h1]), val[x0, 15], val[x1, 15], val[h0, 18] / 1024,
         val[h1, 18] / 1024, val[x0, 18] / 1024, val[x1, 18] / 1024
  print ""
  print "![Wall time and waits against the firmware size; the timing profiles](performance.png)"
}
AWK
)"
# The noisy-line section is made by scripts/noise_report.sh on its own: kept as it is.
noise_section="$out/noise-section.md"
if [ -f "$docs/performance.md" ]; then
  awk '/^## / { keep = /^## A noisy line/ } keep' "$docs/performance.md" >"$noise_section"
else
  : >"$noise_section"
fi
awk -F'\t' "$markdown" "$runs" >"$docs/performance.md"
awk -F'\t' -f "$root/scripts/perf_profiles.awk" -v page_ms="$page_ms" -v erase_ms="$erase_ms" \
  "$runs" "$profiles" >>"$docs/performance.md"
{
  echo
  echo "## Several drives at once"
  echo
  echo "\`bench/parallel_runs\` serves 1, 2, 4 and 8 virtual drives on pseudo-terminals (a thread" \
    "each) and programs an 8 KB firmware into all of them with one \`driveflash-cli program FILE" \
    "--port A --port B ...\`: each port's run in a process of its own. *CPU per drive* is the" \
    "command's CPU time (the parent and every port's process) over the drives. Aim: wall time" \
    "at most 1.1 times one drive's for 4 drives. Load average before: $parallel_load."
  echo
  cat "$out/parallel.md"
} >>"$docs/performance.md"
if [ -s "$noise_section" ]; then
  echo >>"$docs/performance.md"
  sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' "$noise_section" >>"$docs/performance.md"
fi
cat >>"$docs/performance.md" <<'EOF'

## Making this report again

```sh
DRIVEFLASH_SETUP_REPORT=1 scripts/setup.sh   # gnuplot
scripts/perf_report.sh                       # about eleven minutes; figures in build/default/perf/
scripts/noise_report.sh                      # the noisy line: a few minutes of CPU on 2 cores
```
EOF
echo "perf_report: wrote $docs/performance.md and $docs/performance.png" >&2
