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
echo "== Fault guard and residency"
(cd "$work" && "$build/wine-run.sh" "$build/bin/guard_bench.exe")
if [ -f "$build/x64/bin/guard_bench.exe" ]; then
  echo "== Fault guard and residency, x64"
  (cd "$work" && "$build/x64/wine-run.sh" "$build/x64/bin/guard_bench.exe")
fi
echo "== A plug-in in a runner process"
(cd "$work" && "$build/wine-run.sh" "$build/bin/remote_bench.exe")
if [ -f "$build/x64/bin/remote_bench.exe" ]; then
  echo "== A plug-in in a runner process, x64"
  (cd "$work" && "$build/x64/wine-run.sh" "$build/x64/bin/remote_bench.exe")
fi
for extra in "$top"/scripts/bench-*.sh; do
  [ -f "$extra" ] && sh "$extra" "$build"
done
exit 0
