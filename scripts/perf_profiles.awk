# The timing profiles' section of docs/performance.md: standard and fast side by side with the
# physical floor. Called by scripts/perf_report.sh with -v page_ms=... -v erase_ms=... on two
# files of perf_runs rows (columns as its header names them): the standard runs on the instant
# line, then the runs of both profiles with the bytes paced.
function file(kind) { return kind == "ehex" ? "encrypted" : "plain" }
FNR == 1 { next }
FNR == NR {
  if ($3 == "instant" && $22 == "standard") command_over_waits[$1, $2] = $28
  next
}
{
  key = $1 SUBSEP $2
  if (!(key in seen)) { seen[key] = 1; order[++n] = key; size[key] = $1; kind[key] = $2 }
  pages[key] = $4; sectors[key] = $25; baud = $8
  wall[key, $22] = $19; waits[key, $22] = $6; floor_s[key] = $26
}
END {
  print ""
  print "## Timing profiles: standard and fast against the physical floor"
  print ""
  print "The same command with `--timing standard` and with `--timing fast`, on the virtual " \
        "drive with every byte taking its time on the wire at " baud " baud (`line-time`), " \
        page_ms " ms of the chip's work per page programmed and " erase_ms " ms per sector " \
        "erased (`page-time`, `erase-time`; the erase time is an assumption). *Wall* is the " \
        "child process from its start to its exit, as a user sees the command. The *floor* is " \
        "what no timing can go below: every byte's time on the line in both directions at both " \
        "baud rates, each page's and each sector's work, and the 1.1 s of waits the drive " \
        "needs, which both profiles keep (0.5 s after the reset request, 0.2 s after closing " \
        "the port, the handshake's two pauses of 0.2 s). Aims: fast at most 1.15 × its floor " \
        "and at least 2 × faster than standard for 64 KB; standard at most 1.02 × its waits " \
        "from the command's start to its exit, measured where nothing but the waits takes " \
        "time: on the instant line of the first table (last column)."
  print ""
  print "| firmware | file | pages | sectors | floor (s) | standard: wall (s) | waits (s) | " \
        "fast: wall (s) | wall ÷ floor | standard ÷ fast | standard, instant line: wall ÷ waits |"
  print "|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|"
  worst_fast = worst_std = 0; gain64 = ""
  for (i = 1; i <= n; i++) {
    k = order[i]
    s_wall = wall[k, "standard"]; f_wall = wall[k, "fast"]; s_waits = waits[k, "standard"]
    r_std = (k in command_over_waits) ? command_over_waits[k] : 0
    r_fast = floor_s[k] > 0 ? f_wall / floor_s[k] : 0
    gain = f_wall > 0 ? s_wall / f_wall : 0
    printf "| %s KB | %s | %d | %d | %.2f | %.2f | %.2f | %.2f | %.4f | %.2f | %s |\n",
           size[k], file(kind[k]), pages[k], sectors[k], floor_s[k], s_wall, s_waits, f_wall,
           r_fast, gain, (r_std > 0 ? sprintf("%.4f", r_std) : "–")
    if (r_std > worst_std) worst_std = r_std
    if (r_fast > worst_fast) worst_fast = r_fast
    if (size[k] == 64 && (gain64 == "" || gain < gain64)) gain64 = gain
  }
  print ""
  printf "Fast: at most %.4f × its floor (aim 1.15: %s). Standard: at most %.4f × its waits " \
         "(aim 1.02: %s).", worst_fast, (worst_fast <= 1.15 ? "met" : "missed"), worst_std,
         (worst_std <= 1.02 ? "met" : "missed")
  if (gain64 != "") printf " For 64 KB, fast is %.2f × faster than standard (aim 2: %s).",
                          gain64, (gain64 >= 2 ? "met" : "missed")
  print ""
  print ""
  print "What fast leaves out: the 50 ms before each data frame's reply, the 0.2 s after each " \
        "sector's erase, the pauses after status lines, the waits before the identity and " \
        "length replies and the 0.5 s between the identity requests. Every reply is still " \
        "awaited with the same time-outs, and both profiles send the same frames in the same " \
        "order (a test compares them)."
}
