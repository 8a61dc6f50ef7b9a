#!/bin/sh
# spicheck's fuzzing campaign, figures side by side in one run: executions
# a second on bmp's sample (454 bytes) and on a 1 KB bitmap with the
# reference plug-in built without and with coverage (bmp, bmp_cov), with
# the plug-in in spicheck's process and in a worker; the time the same
# fixed variants take through both builds (the instrumentation's own
# cost: with coverage a campaign also goes where the plug-in works
# harder), and the same for plug-ins built by clang where it is installed;
# then the executions until the fault planted behind byte
# comparisons (fuzz_target) with and without coverage.
# Usage: scripts/spicheck-fuzz-bench.sh TREE_DIR SPICHECK EXT (inside
# scripts/wine-session.sh), e.g. build/x64 spicheck64.exe .sph.
set -eu
tree=$(cd "$1" && pwd)
spicheck=$2
ext=$3
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT PIPE TERM
cp "$top/reference-plugins/samples/sample.bmp" "$work/sample.bmp"
cp "$tree/fixtures/bmp/rle8hand.bmp" "$work/1k.bmp"
printf 'FZT1\002\002NOTE\004\000abcdPIXL\004\000\020\040\060\100' >"$work/seed.fzt"

# campaign ARGS...: spicheck's robust.fuzz line.
campaign() {
  rm -rf "$work/crashes"
  (cd "$work" && "$tree/wine-run.sh" "$tree/bin/$spicheck" --only=robust.fuzz --fuzz=0 \
     --crashes=crashes "$@") >"$work/.output" 2>&1 || true
  grep 'robust.fuzz' "$work/.output" | tr -d '\r'
}
# rate ARGS...: executions a second, as the campaign's line says.
rate() { campaign "$@" | sed -n 's/.*executions, \([0-9]*\)\/s.*/\1/p'; }

seconds=${SPI_FUZZ_BENCH_SECONDS:-10}
echo "  campaigns of $seconds s each (--fuzz-time), executions a second:"
for file in sample.bmp 1k.bmp; do
  for mode in --in-process worker; do
    flag=$mode
    [ "$mode" = worker ] && flag=--fuzz=0
    plain=$(rate $flag --fuzz-time="$seconds" "$tree/bin/bmp$ext" "$file")
    covered=$(rate $flag --fuzz-time="$seconds" "$tree/bin/bmp_cov$ext" "$file")
    printf '  %s %-10s %-12s bmp%s %7s/s   bmp_cov%s %7s/s  (x%s)\n' "$spicheck" "$file" "$mode" \
      "$ext" "${plain:-?}" "$ext" "${covered:-?}" \
      "$(awk "BEGIN { if (\"$plain\" > 0) printf \"%.2f\", \"$covered\" / \"$plain\"; else print \"?\" }")"
  done
done

# The cost of the instrumentation alone: the same fixed variants (no
# feedback, the same inputs) through both builds, in the worker, the
# fastest of 3 runs each.
variants=${SPI_FUZZ_BENCH_VARIANTS:-20000}
budget=${SPI_FUZZ_BENCH_BLIND:-300000}
elapsed() {
  start=$(date +%s%N)
  campaign "$@" >/dev/null
  echo $(( ($(date +%s%N) - start) / 1000000 ))
}
# pair PLAIN COVERED: the fastest of 3 runs of each, taken in turns (a
# machine busy for a moment slows one run, not the figure), in $plain and
# $covered.
pair() {
  plain= covered=
  for round in 1 2 3; do
    a=$(elapsed --fuzz="$variants" "$1" 1k.bmp)
    b=$(elapsed --fuzz="$variants" "$2" 1k.bmp)
    [ -z "$plain" ] || [ "$a" -lt "$plain" ] && plain=$a
    [ -z "$covered" ] || [ "$b" -lt "$covered" ] && covered=$b
  done
  : "$round"
}
pair "$tree/bin/bmp$ext" "$tree/bin/bmp_cov$ext"
printf '  %s %s fixed variants of 1k.bmp, worker: bmp%s %6d ms   bmp_cov%s %6d ms  (x%s)\n' \
  "$spicheck" "$variants" "$ext" "$plain" "$ext" "$covered" \
  "$(awk "BEGIN { printf \"%.2f\", $covered / $plain }")"

# found_at PLUGIN: where the campaign on the planted fault's seed found it,
# from the reproducer's text.
found_at() {
  campaign --fuzz-execs="$budget" --fuzz-time=60 "$1" seed.fzt >/dev/null
  found=$(sed -n 's/.*execution \([0-9]*\) of the campaign.*/\1/p' "$work"/crashes/*.txt 2>/dev/null | head -n 1)
  if [ -n "$found" ]; then
    echo "found at execution $found"
  else
    echo "not found in $budget executions or 60 s"
  fi
}

# The same with clang's coverage (inline 8-bit counters: no call per
# edge), beside clang's plain build, where clang is installed: the
# plug-ins are compiled here, for the MinGW-w64 target, with GCC's MinGW
# headers, and linked by the MinGW-w64 GCC.
# clang_plugin NAME SOURCES...: $work/NAME$ext, built with $clang_flags.
clang_plugin() {
  name=$1
  shift
  objects=
  for source in "$@"; do
    object="$work/$name-$(basename "$source").o"
    case "$source" in
      *.c) clang --target="$triple" -O2 -I"$top/spicov" -c "$source" -o "$object" ;;
      *) clang++ --target="$triple" -O2 -std=c++17 -nostdinc++ -isystem "$gcc/include/c++" \
           -isystem "$gcc/include/c++/$triple" -isystem "$gcc/include/c++/backward" \
           -I"$top/plugin/api" -I"$top/reference-plugins/common" $clang_flags \
           -c "$source" -o "$object" ;;
    esac || return 1
    objects="$objects $object"
  done
  kill_at=
  [ "$ext" = .spi ] && kill_at=-Wl,--kill-at
  # shellcheck disable=SC2086
  "$triple-g++-win32" -shared -static-libgcc -static-libstdc++ $kill_at -o "$work/$name$ext" \
    $objects 2>"$work/.link" || { cat "$work/.link" >&2; return 1; }
}
triple=x86_64-w64-mingw32
[ "$ext" = .spi ] && triple=i686-w64-mingw32
gcc=$(ls -d /usr/lib/gcc/$triple/*-win32 2>/dev/null | tail -n 1)
if command -v clang >/dev/null 2>&1 && [ -n "$gcc" ]; then
  bmp_sources="$top/reference-plugins/bmp/bmp_plugin.cpp $top/reference-plugins/bmp/bmp_decoder.cpp"
  built=yes
  clang_flags=
  # shellcheck disable=SC2086
  clang_plugin bmp_clang $bmp_sources || built=
  clang_flags=-fsanitize-coverage=inline-8bit-counters,trace-cmp
  # shellcheck disable=SC2086
  clang_plugin bmp_clang_cov $bmp_sources "$top/spicov/spicov.c" || built=
  clang_plugin fuzz_target_clang_cov "$top/tests/plugins/defects/fuzz_target_plugin.cpp" \
    "$top/spicov/spicov.c" || built=
fi
if [ -n "${built:-}" ]; then
  pair "$work/bmp_clang$ext" "$work/bmp_clang_cov$ext"
  printf '  %s %s fixed variants of 1k.bmp, worker, clang: bmp %6d ms   bmp_cov %6d ms  (x%s)\n' \
    "$spicheck" "$variants" "$plain" "$covered" \
    "$(awk "BEGIN { printf \"%.2f\", $covered / $plain }")"
  printf '  %s 2000 executions of 1k.bmp, clang bmp_cov: %s\n' "$spicheck" \
    "$(campaign --fuzz-execs=2000 "$work/bmp_clang_cov$ext" 1k.bmp | sed 's/.*campaign: //')"
  printf '  %s planted fault, with clang coverage: %s\n' "$spicheck" \
    "$(found_at "$work/fuzz_target_clang_cov$ext")"
else
  echo "  (no clang-built plug-ins measured: clang or the MinGW-w64 GCC is not installed, or a build failed)"
fi

printf '  %s planted fault, with coverage:    %s\n' "$spicheck" \
  "$(found_at "$tree/bin/fuzz_target_cov$ext")"
line=$(campaign --fuzz-execs="$budget" "$tree/bin/fuzz_target$ext" seed.fzt)
case "$line" in
  FAIL*) blind="found: $line" ;;
  *) blind="not found in $budget executions" ;;
esac
printf '  %s planted fault, without coverage: %s\n' "$spicheck" "$blind"
