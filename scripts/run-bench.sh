#!/bin/sh
# Runs every benchmark of a build (inside scripts/wine-session.sh), each
# from a temporary folder of its own.
set -e
top=$(pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
# Removed on every way out, also when interrupted or when the reader of
# the output goes away.
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT PIPE TERM
. "$build/wine-env.sh"
if [ "$SPI_RUNS_32BIT" = 0 ]; then
  echo "run-bench.sh: this machine cannot run 32-bit programs: only the x64 figures follow"
fi
run32() { [ "$SPI_RUNS_32BIT" = 1 ]; }
if run32; then
  echo "== Fault guard and residency"
  (cd "$work" && "$build/wine-run.sh" "$build/bin/guard_bench.exe")
fi
if [ -f "$build/x64/bin/guard_bench.exe" ]; then
  echo "== Fault guard and residency, x64"
  (cd "$work" && "$build/x64/wine-run.sh" "$build/x64/bin/guard_bench.exe")
fi
if run32; then
  echo "== A plug-in in a runner process"
  (cd "$work" && "$build/wine-run.sh" "$build/bin/remote_bench.exe")
fi
if [ -f "$build/x64/bin/remote_bench.exe" ]; then
  echo "== A plug-in in a runner process, x64"
  (cd "$work" && "$build/x64/wine-run.sh" "$build/x64/bin/remote_bench.exe")
fi
echo "== spicheck: the plug-in in a worker process beside in process"
if run32; then
  sh "$top/scripts/spicheck-modes-bench.sh" "$build" spicheck.exe bmp.spi
fi
if [ -f "$build/x64/bin/spicheck64.exe" ]; then
  sh "$top/scripts/spicheck-modes-bench.sh" "$build/x64" spicheck64.exe bmp.sph
fi
echo "== spicheck on a corpus: one worker beside two side by side"
if [ -f "$build/x64/bin/spicheck64.exe" ]; then
  sh "$top/scripts/spicheck-corpus-bench.sh" "$build/x64" spicheck64.exe bmp.sph
elif run32; then
  sh "$top/scripts/spicheck-corpus-bench.sh" "$build" spicheck.exe bmp.spi
fi
echo "== spicheck's fuzzing campaign: plain and instrumented plug-ins, in process and in a worker"
if run32; then
  sh "$top/scripts/spicheck-fuzz-bench.sh" "$build" spicheck.exe .spi
fi
if [ -f "$build/x64/bin/spicheck64.exe" ]; then
  sh "$top/scripts/spicheck-fuzz-bench.sh" "$build/x64" spicheck64.exe .sph
fi
# The bitmap bench sets spiprobe beside spiprobe64: it needs both.
if run32; then
  for extra in "$top"/scripts/bench-*.sh; do
    [ -f "$extra" ] && sh "$extra" "$build"
  done
fi
exit 0
