#!/bin/sh
# Runs every benchmark of a build (inside scripts/wine-session.sh).
set -e
top=$(pwd)
build=$(cd "$1" && pwd)
echo "== Fault guard and residency"
(cd "$build/bin" && "$build/wine-run.sh" ./guard_bench.exe)
for extra in "$top"/scripts/bench-*.sh; do
  [ -f "$extra" ] && sh "$extra" "$build"
done
exit 0
