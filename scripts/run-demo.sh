#!/bin/sh
# What `make run` shows: spiprobe testing the bundled plug-ins on the
# bundled files (inside scripts/wine-session.sh), in a temporary folder
# that holds copies of the files. spiprobe writes code page 932 with CR LF,
# as on Windows; for this terminal the output is converted to UTF-8.
set -u
top=$(pwd)
build=$(cd "$1" && pwd)
bin="$build/bin"
samples="$top/reference-plugins/samples"

work=$(mktemp -d)
# Removed on every way out, also when interrupted or when the reader of
# the output goes away.
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT PIPE TERM
out="$work/.output"
. "$build/wine-env.sh"
if [ "$SPI_RUNS_32BIT" = 0 ]; then
  echo "run-demo.sh: this machine cannot run 32-bit programs: only the x64 programs are shown"
  echo
fi
run32() { [ "$SPI_RUNS_32BIT" = 1 ]; }

# The plug-ins are found beside spiprobe.exe; the files in the folder.
# show [-64] ARGS...: spiprobe, or with -64 spiprobe64 of build/x64.
show() {
  program=spiprobe runner="$build/wine-run.sh" dir="$bin"
  if [ "$1" = -64 ]; then
    shift
    program=spiprobe64 runner="$build/x64/wine-run.sh" dir="$build/x64/bin"
  fi
  printf '$ %s %s\n' "$program" "$*"
  (cd "$work" && "$runner" "$dir/$program.exe" "$@") >"$out" 2>&1
  status=$?
  iconv -f CP932 -t UTF-8 "$out" | tr -d '\r'
  echo "(exit status $status)"
  echo
}

for sample in sample.bmp sample.tar; do
  [ -f "$samples/$sample" ] && cp "$samples/$sample" "$work/"
done
if run32; then
  for plugin in bmp tar; do
    if [ -f "$bin/$plugin.spi" ] && [ -f "$work/sample.$plugin" ]; then
      show -i $plugin.spi sample.$plugin
    fi
  done
fi
if [ -f "$build/x64/bin/spiprobe64.exe" ]; then
  for plugin in bmp tar; do
    if [ -f "$build/x64/bin/$plugin.sph" ] && [ -f "$work/sample.$plugin" ]; then
      show -64 -i $plugin.sph sample.$plugin
    fi
  done
fi
if run32 && [ ! -f "$bin/bmp.spi" ] && [ ! -f "$bin/tar.spi" ]; then
  show -i scripted.spi
fi
sh "$top/scripts/demo-spicheck.sh" "$build"
exit 0
