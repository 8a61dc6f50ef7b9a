#!/bin/sh
# spicheck with the plug-in in a worker process (its default) beside
# spicheck with the plug-in in its own process (--in-process): the same
# run of the reference bitmap plug-in on four bitmaps, with 400 variants
# and 400 rounds each (some 5,000 calls), best of three, taken in turns.
# Usage: scripts/spicheck-modes-bench.sh TREE_DIR SPICHECK PLUGIN (inside
# scripts/wine-session.sh), e.g. build/x64 spicheck64.exe bmp.sph.
set -eu
tree=$(cd "$1" && pwd)
spicheck=$2
plugin=$3
picture="$tree/fixtures/bmp/info8.bmp"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT PIPE TERM
cp "$picture" "$work/a.bmp"

run_ms() {
  start=$(date +%s%N)
  (cd "$work" && "$tree/wine-run.sh" "$tree/bin/$spicheck" "$@" --fuzz=400 --rounds=400 \
     "$tree/bin/$plugin" a.bmp a.bmp a.bmp a.bmp) >"$work/.output" 2>&1 || {
    echo "spicheck-modes-bench.sh: $spicheck $* failed" >&2; cat "$work/.output" >&2; exit 1; }
  echo $(( ($(date +%s%N) - start) / 1000000 ))
}
best_in=""
best_out=""
for round in 1 2 3; do
  t=$(run_ms --in-process)
  [ -z "$best_in" ] || [ "$t" -lt "$best_in" ] && best_in=$t
  t=$(run_ms)
  [ -z "$best_out" ] || [ "$t" -lt "$best_out" ] && best_out=$t
done
printf '  %s, plug-in in spicheck'"'"'s process   %6d ms\n' "$spicheck" "$best_in"
printf '  %s, plug-in in a worker process %6d ms  (x%s)\n' "$spicheck" "$best_out" \
  "$(awk "BEGIN { printf \"%.2f\", $best_out / $best_in }")"
