#!/bin/sh
# The end of `make run`: spicheck on the reference BMP plug-in and on a
# test plug-in with a known defect (inside scripts/wine-session.sh), in a
# temporary folder that holds the files checked, so the session shows short
# names. spicheck writes English text with CR LF; only the line ends are
# changed.
# Usage: demo-spicheck.sh BUILD_DIR
set -u
top=$(pwd)
build=$(cd "$1" && pwd)
# spicheck of the 32-bit tree with the .spi plug-ins; spicheck64 with the
# .sph ones where this machine cannot run 32-bit programs.
. "$build/wine-env.sh"
if [ "$SPI_RUNS_32BIT" = 1 ]; then
  runner="$build/wine-run.sh" bin="$build/bin" spicheck=spicheck ext=spi
else
  runner="$build/x64/wine-run.sh" bin="$build/x64/bin" spicheck=spicheck64 ext=sph
fi
[ -f "$bin/$spicheck.exe" ] || exit 0

work=$(mktemp -d)
# Removed on every way out, also when interrupted or when the reader of
# the output goes away.
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT PIPE TERM

# show PLUGIN FILE: the plug-in is found beside spicheck.exe.
show() {
  printf '$ %s %s %s\n' "$spicheck" "$1" "$2"
  (cd "$work" && "$runner" "$bin/$spicheck.exe" "$1" "$2") >"$work/.output" 2>&1
  status=$?
  tr -d '\r' <"$work/.output"
  echo "(exit status $status)"
  echo
}

bmp=""
if [ -f "$top/reference-plugins/samples/sample.bmp" ]; then
  bmp="$top/reference-plugins/samples/sample.bmp"
elif [ -d "$build/fixtures/bmp" ]; then
  bmp=$(ls "$build/fixtures/bmp"/*.bmp 2>/dev/null | head -n 1)
fi
if [ -f "$bin/bmp.$ext" ] && [ -n "$bmp" ]; then
  cp "$bmp" "$work/"
  show bmp.$ext "$(basename "$bmp")"
fi

# A 2x2 picture in the defect plug-ins' toy format: "DFI1", width, height,
# a reserved byte and padding, then RGB rows.
if [ -f "$bin/defect_null_callback.$ext" ]; then
  printf 'DFI1\002\000\002\000\000\000\000\000\001\021\041\061\101\121\141\161\201\221\241\261' \
    >"$work/toy.dfi"
  show defect_null_callback.$ext toy.dfi
fi
exit 0
