#!/bin/sh
# The Windows package as a user gets it: build/dist/NAME.zip unpacked into
# a fresh folder and run there in a Wine prefix of its own, made for the
# test and removed afterwards, so nothing of the build tree or its prefix
# is used. Each program runs on the unpacked plug-ins and sample files and
# must exit as documented with a known line of output; README.txt must be
# CR LF throughout and name every file of the package.
# Usage: dist_package.sh BUILD_DIR NAME. Exit 77 (skipped) when no package
# has been made (`make dist`; `make test` makes it first).
set -u
build=$(cd "$1" && pwd)
name=$2
zip="$build/dist/$name.zip"
[ -f "$zip" ] || { echo "no $zip (make dist): skipped"; exit 77; }
for program in unzip wineboot wineserver wine; do
  command -v $program >/dev/null || { echo "$program is missing: skipped"; exit 77; }
done

work=$(mktemp -d "$build/dist-test.XXXXXX")
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" TZ=UTC
export LANG=C.UTF-8
unset LANGUAGE LC_ALL DISPLAY WAYLAND_DISPLAY
cleanup() {
  [ -d "$WINEPREFIX" ] && wineserver -k </dev/null >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

unzip -q "$zip" -d "$work/unpacked" || { echo "unzip failed"; exit 1; }
dir="$work/unpacked/$name"
[ -d "$dir" ] || { echo "the package has no folder $name"; exit 1; }

expected="README.txt bmp.spi spicheck.exe spiprobe.exe tar.spi samples/sample.bmp samples/sample.tar
          spicov/spicov.c spicov/spicov.h"
wide=no
if [ -f "$build/x64/bin/spiprobe64.exe" ]; then
  wide=yes
  expected="$expected bmp.sph spicheck64.exe spiprobe64.exe tar.sph"
fi
for file in $expected; do
  [ -f "$dir/$file" ] || fail "$file is not in the package"
done

# README.txt: every line ends in CR LF, and every file is named in it.
readme="$dir/README.txt"
LC_ALL=C awk '!/\r$/ { bad++ } END { exit bad > 0 || NR == 0 }' "$readme" ||
  fail "README.txt has lines without CR LF"
[ "$(tail -c 2 "$readme" | od -An -tx1 | tr -d ' \n')" = 0d0a ] || fail "README.txt does not end in CR LF"
(cd "$dir" && find . -type f | sed 's|^\./||') | while read -r file; do
  grep -qF "  $(echo "$file" | tr / '\\') " "$readme" || echo "$file"
done >"$work/unnamed"
[ -s "$work/unnamed" ] && fail "README.txt names not: $(tr '\n' ' ' <"$work/unnamed")"
grep -q '^Usage: spiprobe.exe \[-c\]' "$readme" || fail "README.txt lacks spiprobe's usage"
grep -q '^usage: spicheck \[options\]' "$readme" || fail "README.txt lacks spicheck's usage"

# A fresh prefix, made and served as scripts/wine-session.sh does it, so
# that no Wine service holds this script's output open.
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
[ -f "$WINEPREFIX/system.reg" ] || { echo "wineboot made no prefix"; exit 1; }
(wineserver -p; wine cmd /c exit) </dev/null >/dev/null 2>&1
loader64=wine
[ -x /usr/lib/wine/wine64 ] && loader64=/usr/lib/wine/wine64

# run LOADER STATUS LINE PROGRAM ARGS...: runs the program from the
# unpacked folder; it must exit with STATUS and print a line matching LINE
# (a basic regular expression; the line's CR is taken off first).
run() {
  loader=$1 status=$2 line=$3
  shift 3
  (cd "$dir" && "$loader" "$@") >"$work/out" 2>&1 </dev/null
  got=$?
  if [ $got -ne "$status" ]; then
    fail "$* exited with $got, not $status"
    sed -n '1,20p' "$work/out"
  elif ! LC_ALL=C sed 's/\r$//' "$work/out" | LC_ALL=C grep -q "$line"; then
    fail "$* printed no line matching: $line"
    sed -n '1,20p' "$work/out"
  fi
}
tab=$(printf '\t')
run wine 0 "^Plug-in about${tab}\[bmp.spi 1.0: Windows bitmaps" spiprobe.exe -i bmp.spi 'samples\sample.bmp'
run wine 0 '^PictureInfomation\[samples\\sample.bmp\]' spiprobe.exe bmp.spi 'samples\sample.bmp'
run wine 0 '^Name: ()\\(readme.txt)' spiprobe.exe tar.spi 'samples\sample.tar'
run wine 1 '^Usage: ' spiprobe.exe
run wine 0 '^[0-9]* passed, 0 warnings, 0 failed$' spicheck.exe --fuzz=5 --rounds=10 bmp.spi 'samples\sample.bmp'
run wine 0 '^[0-9]* passed, 0 warnings, 0 failed$' spicheck.exe --fuzz=5 --rounds=10 tar.spi 'samples\sample.tar'
if [ $wide = yes ]; then
  run "$loader64" 0 "^Plug-in about${tab}\[bmp.spi 1.0: Windows bitmaps" spiprobe64.exe -i bmp.sph 'samples\sample.bmp'
  run "$loader64" 0 '^Name: ()\\(readme.txt)' spiprobe64.exe tar.sph 'samples\sample.tar'
  run "$loader64" 0 '^[0-9]* passed, 0 warnings, 0 failed$' spicheck64.exe --fuzz=5 --rounds=10 bmp.sph 'samples\sample.bmp'
  run "$loader64" 0 '^[0-9]* passed, 0 warnings, 0 failed$' spicheck64.exe --fuzz=5 --rounds=10 tar.sph 'samples\sample.tar'
  # A plug-in of the other bitness is refused with 193, not run.
  run "$loader64" 1 'GetLastError==193' spiprobe64.exe bmp.spi 'samples\sample.bmp'
fi

[ $failures -eq 0 ] || { echo "$failures failures"; exit 1; }
echo "package $name: every program ran from the unpacked folder"
