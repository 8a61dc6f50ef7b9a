#!/bin/sh
# Packs BUILD_DIR/dist/NAME.zip for Windows users: one folder NAME with
# spiprobe.exe, spicheck.exe and the reference plug-ins of BUILD_DIR, the
# x64 programs and plug-ins of BUILD_DIR/x64 where they are built, the
# plug-in runners where they are built, the sample files, and README.txt:
# what each file is and the usage texts the programs print themselves, in
# CR LF (the programs' texts as they write them, in code page 932).
# Usage: scripts/make-dist.sh BUILD_DIR NAME VERSION, with the build's Wine
# server running (scripts/wine-session.sh, or CTest's session).
set -eu
build=$(cd "$1" && pwd)
name=$2
version=$3
top=$(cd "$(dirname "$0")/.." && pwd)
x64="$build/x64"
dist="$build/dist"
stage="$dist/$name"

rm -rf "$stage" "$dist/$name.zip"
mkdir -p "$stage/samples"
for file in spiprobe.exe spicheck.exe bmp.spi tar.spi; do
  [ -f "$build/bin/$file" ] || { echo "make-dist.sh: $build/bin/$file is missing (build first)" >&2; exit 1; }
  cp "$build/bin/$file" "$stage/"
done
wide=no
if [ -f "$x64/bin/spiprobe64.exe" ]; then
  wide=yes
  for file in spiprobe64.exe spicheck64.exe bmp.sph tar.sph; do
    [ -f "$x64/bin/$file" ] || { echo "make-dist.sh: $x64/bin/$file is missing (build the x64 tree)" >&2; exit 1; }
    cp "$x64/bin/$file" "$stage/"
  done
fi
runners=""
for runner in "$build/bin/spirunner32.exe" "$x64/bin/spirunner64.exe"; do
  if [ -f "$runner" ]; then
    cp "$runner" "$stage/"
    runners="$runners ${runner##*/}"
  fi
done
cp "$top/reference-plugins/samples/sample.bmp" "$top/reference-plugins/samples/sample.tar" \
   "$stage/samples/"
mkdir -p "$stage/spicov"
cp "$top/spicov/spicov.c" "$top/spicov/spicov.h" "$stage/spicov/"

# The usage texts, from the programs in the package. spiprobe names itself
# by the path Wine started it with: the text shows the bare file name.
text="$dist/.usage"
rm -f "$text".*
status=0
(cd "$stage" && "$build/wine-run.sh" spiprobe.exe) >"$text.out" 2>"$text.probe" || status=$?
[ $status -eq 1 ] && [ -s "$text.probe" ] || {
  echo "make-dist.sh: spiprobe.exe printed no usage text (exit $status)" >&2; exit 1; }
(cd "$stage" && "$build/wine-run.sh" spicheck.exe --help) >"$text.check" 2>"$text.err" || {
  echo "make-dist.sh: spicheck.exe --help failed" >&2; exit 1; }
[ -s "$text.check" ] || { echo "make-dist.sh: spicheck.exe --help printed nothing" >&2; exit 1; }

# entry FILE TEXT: one line of the table of files, for a file in the package.
entry() { [ -f "$stage/$1" ] && printf '  %-20s %s\n' "$(echo "$1" | tr / '\\')" "$2"; return 0; }
{
  echo "spiprobe $version for Windows"
  echo
  echo "spiprobe tests image and archive plug-ins written to the Susie plug-in API:"
  echo "it loads a plug-in, prints what the plug-in says about itself and what it"
  echo "answers for each file, and survives a plug-in that faults. spicheck checks"
  echo "the answers and prints PASS, WARN or FAIL per check. The programs need"
  echo "nothing but system DLLs; run them from a command prompt."
  echo
  echo "Files"
  echo
  entry spiprobe.exe "the plug-in tester, for 32-bit plug-ins (.spi)"
  entry spicheck.exe "the conformance checker, for 32-bit plug-ins (.spi)"
  entry spiprobe64.exe "the plug-in tester, for 64-bit plug-ins (.sph)"
  entry spicheck64.exe "the conformance checker, for 64-bit plug-ins (.sph)"
  entry bmp.spi "reference image plug-in: Windows bitmaps (32-bit)"
  entry bmp.sph "the same for 64-bit hosts"
  entry tar.spi "reference archive plug-in: tar archives (32-bit)"
  entry tar.sph "the same for 64-bit hosts"
  entry spirunner32.exe "runs a 32-bit plug-in in a process of its own (for programs)"
  entry spirunner64.exe "the same for 64-bit plug-ins"
  entry samples/sample.bmp "a bitmap to try bmp.spi on"
  entry samples/sample.tar "a tar archive to try tar.spi on"
  entry spicov/spicov.c "the coverage runtime for a plug-in built for spicheck's fuzzing"
  entry spicov/spicov.h "its declarations"
  entry README.txt "this text"
  echo
  echo "spiprobe"
  echo
  sed '1s/^Usage: .*[\\/]\(spiprobe[0-9]*\.exe\)/Usage: \1/' "$text.probe"
  echo
  echo "The exit status is 1 when the usage text was shown or the plug-in could"
  echo "not be loaded, and 0 otherwise. Messages are written in code page 932."
  [ $wide = no ] || echo "spiprobe64.exe takes the same options."
  echo
  echo "spicheck"
  echo
  cat "$text.check"
  [ $wide = no ] || echo "spicheck64.exe takes the same options."
  echo
  echo "Fuzzing with coverage"
  echo
  echo "With --fuzz-time=S or --fuzz-execs=N spicheck runs a fuzzing campaign on"
  echo "each file after its fixed variants. It works blind on any plug-in; on one"
  echo "built with coverage it keeps each input that reaches new code and writes"
  echo "the values the plug-in compared its input with into the input. For such"
  echo "a build, compile the plug-in's sources with"
  echo "  GCC (MinGW-w64):  -fsanitize-coverage=trace-pc -fsanitize-coverage=trace-cmp"
  echo "  clang, MSVC:      -fsanitize-coverage=inline-8bit-counters,trace-pc-guard,trace-cmp"
  echo "and link spicov\\spicov.c into the DLL (compiled without those options;"
  echo "with GCC 12 or clang its functions stay uninstrumented anyway). Nothing"
  echo "else changes: in any host but spicheck the runtime finds no coverage map"
  echo "and the plug-in behaves as its plain build. Each distinct fault found is"
  echo "written, minimised, to --crashes (default spicheck-crashes), with a text"
  echo "file beside it naming the fault and the command that shows it again."
  echo
  echo "  spicheck --only=robust.fuzz --fuzz-time=120 myplugin.spi picture.xyz"
  echo
  echo "Examples"
  echo
  echo "  spiprobe -i bmp.spi samples\\sample.bmp"
  echo "  spiprobe tar.spi samples\\sample.tar"
  echo "  spicheck bmp.spi samples\\sample.bmp"
  [ $wide = no ] || echo "  spiprobe64 -i bmp.sph samples\\sample.bmp"
  [ $wide = no ] || echo "  spicheck64 tar.sph samples\\sample.tar"
} | LC_ALL=C sed 's/\r$//; s/$/\r/' >"$stage/README.txt"
rm -f "$text".*

(cd "$dist" && rm -f "$name.zip" && zip -q -r -X "$name.zip" "$name")
echo "make-dist.sh: $dist/$name.zip ($(cd "$stage" && ls | wc -l) entries${runners:+, runners:$runners})"
