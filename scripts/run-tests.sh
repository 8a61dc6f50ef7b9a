#!/bin/sh
# What `make test` runs once both trees are built: the package is packed,
# then each tree's tests run (each CTest run opens and closes its Wine
# session itself); either tree failing fails the run.
#
# On a machine that cannot run 32-bit programs (a Linux kernel whose 32-bit
# emulation is off) nothing of the 32-bit tree can run: its tests and the
# package, which is made with the programs' own usage texts, are left out
# and said to be, and the x64 tests leave out their 32-bit halves
# (SPI_RUNS_32BIT, from wine-env.sh). Usage: run-tests.sh BUILD_DIR
set -u
build=$(cd "$1" && pwd)
. "$build/wine-env.sh"
status=0
if [ "$SPI_RUNS_32BIT" = 1 ]; then
  sh scripts/wine-session.sh "$build" cmake --build "$build" --target dist || exit 1
  ctest --test-dir "$build" --output-on-failure || status=1
else
  echo "run-tests.sh: this machine cannot run 32-bit programs (/usr/lib/wine/wine does not start):"
  echo "run-tests.sh: the 32-bit tree's tests, the package and the 32-bit halves of the x64 tests are left out"
fi
ctest --test-dir "$build/x64" --output-on-failure || status=1
exit $status
