#!/bin/sh
# A plug-in in a runner process beside the same plug-in in process
# (bench/remote_bench.cpp), the 32-bit and the x64 build side by side in
# one run: the round trip of an empty export, a 12 MB picture without and
# with a progress callback, and the steps of a picture's way back from a
# runner, each measured on its own.
# Usage: scripts/runner-bench.sh BUILD_DIR (inside scripts/wine-session.sh).
set -eu
build=$(cd "$1" && pwd)
x64="$build/x64"
work=$(mktemp -d)
# Removed on every way out, also when interrupted or when the reader of
# the output goes away.
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT PIPE TERM
. "$build/wine-env.sh"

# figures TREE FILE: the tree's remote_bench figures into FILE (empty when
# the tree has none or this machine cannot run it).
figures() {
  : >"$2"
  [ -f "$1/bin/remote_bench.exe" ] || return 0
  mkdir -p "$work/run"
  (cd "$work/run" && "$1/wine-run.sh" "$1/bin/remote_bench.exe") >"$2" || {
    echo "runner-bench.sh: $1/bin/remote_bench.exe failed" >&2; exit 1; }
}
if [ "$SPI_RUNS_32BIT" = 1 ]; then figures "$build" "$work/32"; else : >"$work/32"; fi
figures "$x64" "$work/64"

{ sed 's/^/1 /' "$work/32"; sed 's/^/2 /' "$work/64"; } | awk '
  { value[$1, $2] = $3 }
  function v(side, name,   key) {
    key = side SUBSEP name
    if (key in value) return value[key]
    return ""
  }
  function cell(side, format, name) {
    if (v(side, name) == "") return sprintf("%9s", "-")
    return sprintf(format, v(side, name))
  }
  function ratio(side, a, b) {
    if (v(side, a) == "" || v(side, b) + 0 == 0) return sprintf("%9s", "-")
    return sprintf("%9s", sprintf("x%.2f", v(side, a) / v(side, b)))
  }
  function row(label, format, name) {
    printf "%-46s %s %s\n", label, cell(1, format, name), cell(2, format, name)
  }
  function ratios(label, a, b, goal) {
    printf "%-46s %s %s  %s\n", label, ratio(1, a, b), ratio(2, a, b), goal
  }
  END {
    printf "%-46s %9s %9s\n", "", "32-bit", "x64"
    print "One call to an export that does nothing (best of 5 rounds, us)"
    row("  in process, Resident", "%9.3f", "empty_resident_us")
    row("  in process, OnDemand", "%9.3f", "empty_ondemand_us")
    row("  through the runner (round trip)", "%9.1f", "empty_runner_us")
    print "A 2048 x 2048 24-bit picture, 12 MB (best of 5, ms)"
    row("  in process", "%9.1f", "picture_local_ms")
    row("  through the runner", "%9.1f", "picture_runner_ms")
    ratios("  runner / in process", "picture_runner_ms", "picture_local_ms", "(goal at most x1.20)")
    row("  in process, with a progress callback", "%9.1f", "progress_local_ms")
    row("  callbacks a decode", "%9d", "callbacks_local")
    row("  runner, the callback posted", "%9.1f", "progress_posted_ms")
    row("  callbacks the host saw, posted", "%9d", "callbacks_posted")
    ratios("  posted / in process with the callback", "progress_posted_ms", "progress_local_ms",
           "(goal at most x1.30)")
    row("  runner, a round trip per callback", "%9.1f", "progress_round_trip_ms")
    ratios("  round trip / in process with the callback", "progress_round_trip_ms",
           "progress_local_ms", "(the exact callbacks)")
    print "The steps of a 12 MB picture on its way back, each alone (best of 5, ms)"
    row("  the plug-in fills a block of its own", "%9.2f", "step_plugin_block_ms")
    row("  walk of every heap after the call", "%9.2f", "step_heap_walk_ms")
    row("  copy into a fresh section", "%9.2f", "step_fresh_section_ms")
    row("  copy into a section kept mapped", "%9.2f", "step_kept_section_ms")
    row("  the plug-in block freed", "%9.2f", "step_free_plugin_block_ms")
    row("  the host block made from the section", "%9.2f", "step_host_block_ms")
  }'
