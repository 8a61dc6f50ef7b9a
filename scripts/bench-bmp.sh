#!/bin/sh
# spiprobe testing 1,000 small bitmaps with bmp.spi in one run, beside a
# minimal host (bench/bmp_host.cpp) making the same plug-in calls with no
# guard and no reports: first loading the module around every call, as
# spiprobe's on-demand residency does under Wine, then keeping it loaded.
# When the x64 tree (BUILD_DIR/x64) is built, spiprobe64 and the x64 host
# with bmp.sph take their turns in the same rounds, and their figures are
# printed beside the 32-bit ones.
# Each figure is the best of three runs of the whole process, taken in turns.
# The bitmaps are made in a temporary folder, removed at the end.
# Usage: scripts/bench-bmp.sh BUILD_DIR (inside scripts/wine-session.sh).
set -eu
build=$(cd "$1" && pwd)
bin="$build/bin"
x64="$build/x64"
count=1000
IM=/usr/bin/convert
[ -x "$IM" ] || { echo "bench-bmp.sh: ImageMagick's $IM is missing" >&2; exit 1; }
for program in spiprobe.exe bmp_host.exe bmp.spi; do
  [ -f "$bin/$program" ] || { echo "bench-bmp.sh: $bin/$program is missing (build first)" >&2; exit 1; }
done
wide=no
if [ -f "$x64/bin/spiprobe64.exe" ] && [ -f "$x64/bin/bmp_host.exe" ] &&
   [ -f "$x64/bin/bmp.sph" ] && [ -x "$x64/wine-run.sh" ]; then
  wide=yes
fi

work=$(mktemp -d)
# Removed on every way out, also when interrupted or when the reader of
# the output goes away.
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT PIPE TERM
"$IM" rose: -resize 48x32 bmp3:"$work/seed.bmp"
i=1
while [ $i -le $count ]; do
  cp "$work/seed.bmp" "$work/$(printf '%04d' $i).bmp"
  i=$((i + 1))
done
rm "$work/seed.bmp"
winpath() { echo "Z:$1" | tr / '\\'; }
plugin=$(winpath "$bin/bmp.spi")
plugin64=$(winpath "$x64/bin/bmp.sph")
files=$(cd "$work" && ls ./*.bmp | sed 's|^\./||')

# run_ms TREE PROGRAM ARGS...: one run of a program of the build tree TREE
# from the folder of the bitmaps, in milliseconds. The output goes to a
# file: under Wine every write to /dev/null costs about a millisecond,
# which would swamp what is measured.
run_ms() {
  tree=$1
  shift
  start=$(date +%s%N)
  (cd "$work" && "$tree/wine-run.sh" "$@") >"$work/.output" 2>&1 || {
    echo "bench-bmp.sh: $1 failed" >&2; exit 1; }
  echo $(( ($(date +%s%N) - start) / 1000000 ))
}
min() { if [ -z "$1" ] || [ "$2" -lt "$1" ]; then echo "$2"; else echo "$1"; fi; }

# The programs take turns, so a slow spell of the machine does not fall on
# one of them only.
spiprobe="" ondemand="" resident=""
spiprobe64="" ondemand64="" resident64=""
for round in 1 2 3; do
  # shellcheck disable=SC2086  # one argument per file
  spiprobe=$(min "$spiprobe" "$(run_ms "$build" "$bin/spiprobe.exe" "$plugin" $files)")
  # shellcheck disable=SC2086
  ondemand=$(min "$ondemand" "$(run_ms "$build" "$bin/bmp_host.exe" ondemand "$plugin" $files)")
  # shellcheck disable=SC2086
  resident=$(min "$resident" "$(run_ms "$build" "$bin/bmp_host.exe" resident "$plugin" $files)")
  [ $wide = yes ] || continue
  # shellcheck disable=SC2086
  spiprobe64=$(min "$spiprobe64" "$(run_ms "$x64" "$x64/bin/spiprobe64.exe" "$plugin64" $files)")
  # shellcheck disable=SC2086
  ondemand64=$(min "$ondemand64" "$(run_ms "$x64" "$x64/bin/bmp_host.exe" ondemand "$plugin64" $files)")
  # shellcheck disable=SC2086
  resident64=$(min "$resident64" "$(run_ms "$x64" "$x64/bin/bmp_host.exe" resident "$plugin64" $files)")
done

if [ $wide = yes ]; then
  echo "== bmp.spi and bmp.sph on $count bitmaps of 48x32 pixels, one process each (best of 3)"
else
  echo "== bmp.spi on $count bitmaps of 48x32 pixels, one process each (best of 3; no x64 tree)"
fi
awk -v s="$spiprobe" -v o="$ondemand" -v r="$resident" -v wide="$wide" \
    -v s64="$spiprobe64" -v o64="$ondemand64" -v r64="$resident64" 'BEGIN {
  if (wide == "yes") {
    printf "                                          32-bit      x64\n"
    printf "spiprobe (on demand, guarded, reports)   %6d ms %6d ms\n", s, s64
    printf "minimal host, loaded around each call    %6d ms %6d ms\n", o, o64
    printf "minimal host, module kept loaded         %6d ms %6d ms\n", r, r64
    printf "spiprobe / minimal host on demand        %6.2f    %6.2f    (target at most 1.10)\n", s / o, s64 / o64
    printf "on demand / kept loaded                  %6.2f    %6.2f    (what the residency costs)\n", o / r, o64 / r64
    printf "spiprobe64 / spiprobe                    %6.2f\n", s64 / s
  } else {
    printf "spiprobe (on demand, guarded, reports)   %6d ms\n", s
    printf "minimal host, loaded around each call    %6d ms\n", o
    printf "minimal host, module kept loaded         %6d ms\n", r
    printf "spiprobe / minimal host on demand        %6.2f (target at most 1.10)\n", s / o
    printf "on demand / kept loaded                  %6.2f (what the residency costs)\n", o / r
  }
}'
