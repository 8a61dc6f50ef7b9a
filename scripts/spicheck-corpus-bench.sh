#!/bin/sh
# spicheck on a corpus: 1,000 small bitmaps checked by one worker at a
# time (-j 1) beside two side by side (-j 2), in one run; what a worker's
# start costs per file beside a file's check; and the peak memory of
# spicheck and of its largest worker over the first quarter of the run
# beside the whole (flat when the two agree).
# Usage: scripts/spicheck-corpus-bench.sh TREE_DIR SPICHECK PLUGIN [FILES]
# (inside scripts/wine-session.sh), e.g. build/x64 spicheck64.exe bmp.sph.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
tree=$(cd "$1" && pwd)
spicheck=$2
plugin=$3
count=${4:-1000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT PIPE TERM
sh "$top/scripts/make-bitmap-corpus.sh" "$work/corpus" "$count"
# A lighter series than the default, so that the bench takes minutes.
series="--fuzz=20 --rounds=20"

# run_ms ARGS...: milliseconds of one run on the corpus; meanwhile the
# resident memory of spicheck and of its workers (Linux processes under
# Wine) is sampled into $work/memory: "<ms> <spicheck KiB> <largest worker KiB>".
run_ms() {
  : > "$work/memory"
  start=$(date +%s%N)
  (cd "$work" && "$tree/wine-run.sh" "$tree/bin/$spicheck" $series "$@" \
     "$tree/bin/$plugin" corpus) > "$work/.output" 2>&1 &
  run=$!
  while kill -0 $run 2>/dev/null; do
    sizes=$(ps -eo rss=,args= | awk -v s="$tree/bin/$plugin" '
      index($0, s) && !/wine-run.sh/ { if (/--worker=/) { if ($1 > w) w = $1 } else if ($1 > m) m = $1 }
      END { printf "%d %d", m, w }')
    main=${sizes% *} worker=${sizes#* }
    echo "$(( ($(date +%s%N) - start) / 1000000 )) $main $worker" >> "$work/memory"
    sleep 0.5
  done
  wait $run || [ $? -eq 1 ] || {
    echo "spicheck-corpus-bench.sh: $spicheck $* failed" >&2; tail -5 "$work/.output" >&2; exit 1; }
  echo $(( ($(date +%s%N) - start) / 1000000 ))
}

one=$(run_ms -j 1)
two=$(run_ms -j 2)
# Peaks over the first quarter of the -j 2 run and over all of it.
peaks=$(awk -v q=$((two / 4)) '
  { if ($2 > m) m = $2; if ($3 > w) w = $3; if ($1 <= q) { if ($2 > mq) mq = $2; if ($3 > wq) wq = $3 } }
  END { printf "%d %d %d %d", mq, m, wq, w }' "$work/memory")
set -- $peaks
# A worker's start: the plug-in's own checks alone in a worker beside in
# process, best of three.
best_in="" best_out=""
for round in 1 2 3; do
  start=$(date +%s%N)
  (cd "$work" && "$tree/wine-run.sh" "$tree/bin/$spicheck" --in-process "$tree/bin/$plugin") \
    > /dev/null 2>&1
  t=$(( ($(date +%s%N) - start) / 1000000 ))
  [ -z "$best_in" ] || [ "$t" -lt "$best_in" ] && best_in=$t
  start=$(date +%s%N)
  (cd "$work" && "$tree/wine-run.sh" "$tree/bin/$spicheck" "$tree/bin/$plugin") > /dev/null 2>&1
  t=$(( ($(date +%s%N) - start) / 1000000 ))
  [ -z "$best_out" ] || [ "$t" -lt "$best_out" ] && best_out=$t
done
batch=$(awk -v n="$count" 'BEGIN { b = int(n / 32); if (b < 1) b = 1; if (b > 16) b = 16; print b }')
printf '  %s, %d bitmaps (%s), -j 1            %8d ms\n' "$spicheck" "$count" "$series" "$one"
printf '  %s, %d bitmaps (%s), -j 2            %8d ms  (x%s of -j 1)\n' "$spicheck" "$count" \
  "$series" "$two" "$(awk "BEGIN { printf \"%.2f\", $two / $one }")"
awk -v start=$((best_out - best_in)) -v batch="$batch" -v file="$one" -v n="$count" 'BEGIN {
  per = file / n
  printf "  a worker'"'"'s start %d ms, over a batch of %d files: %.1f ms a file, %.1f%% of a file'"'"'s check (%.1f ms)\n",
         start, batch, start / batch, 100 * start / batch / per, per }'
printf '  peak memory: spicheck %d KiB over the first quarter, %d KiB over the run; its largest worker %d KiB, %d KiB\n' \
  "$1" "$2" "$3" "$4"
