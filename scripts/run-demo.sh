#!/bin/sh
# What `make run` shows: spiprobe testing the bundled plug-ins on the
# bundled files (inside scripts/wine-session.sh). spiprobe writes code
# page 932 with CR LF, as on Windows; for this terminal the output is
# converted to UTF-8.
set -u
top=$(pwd)
build=$(cd "$1" && pwd)
bin="$build/bin"
samples="$top/reference-plugins/samples"

out=$(mktemp)
trap 'rm -f "$out"' EXIT

show() {
  printf '$ spiprobe %s\n' "$*"
  (cd "$bin" && "$build/wine-run.sh" ./spiprobe.exe "$@") >"$out" 2>&1
  status=$?
  iconv -f CP932 -t UTF-8 "$out" | tr -d '\r'
  echo "(exit status $status)"
  echo
}

if [ -f "$bin/bmp.spi" ] && [ -f "$samples/sample.bmp" ]; then
  show -i bmp.spi "$(echo "Z:$samples/sample.bmp" | tr / '\\\\')"
fi
if [ -f "$bin/tar.spi" ] && [ -f "$samples/sample.tar" ]; then
  show -i tar.spi "$(echo "Z:$samples/sample.tar" | tr / '\\\\')"
fi
if [ ! -f "$bin/bmp.spi" ] && [ ! -f "$bin/tar.spi" ]; then
  show -i scripted.spi
fi
sh "$top/scripts/demo-spicheck.sh" "$build"
exit 0
