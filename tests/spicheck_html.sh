#!/bin/sh
# spicheck --html opened in a real browser: headless Chromium loads each
# page with a probe script appended, which opens every file's section and
# writes into the DOM what the page then shows: the check rows of each section by verdict, each picture's
# state, natural size and corner pixels as drawn, each member row. Those
# are held against spicheck's JUnit file of the same run, the bitmaps'
# own sizes and ImageMagick's decoding of them, and the tar fixture's
# listing. The page of the reference BMP plug-in is also saved as a
# screenshot, build/spicheck-html/spicheck-html.png.
# Usage: spicheck_html.sh BUILD_DIR. Exit 77 (skipped) without chromium.
set -u
build=$(cd "$1" && pwd)
browser=$(command -v chromium || command -v chromium-browser) ||
  { echo "chromium is missing: skipped"; exit 77; }

work=$(mktemp -d "$build/html-test.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
shots="$build/spicheck-html"
mkdir -p "$shots"
bmp="$build/fixtures/bmp"
tar="$build/fixtures/tar"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# spicheck.exe ARGS...: the run's output in $work/out.txt, its status in $status.
spicheck() {
  (cd "$build/bin" && "$build/wine-run.sh" spicheck.exe --fuzz=8 --rounds=20 "$@") \
    > "$work/out.txt" 2>&1
  status=$?
}

# probe PAGE: what the browser shows of PAGE, one tab-separated line each,
# in $work/probe.txt.
probe() {
  { cat "$1"; cat <<'JS'; } > "$work/probe.html"
<script>
// Every section opened; what they show is read once each is drawn and
// its pictures are loaded.
function whenDrawn(then) {
  var sections = document.querySelectorAll("details.file section");
  var drawn = document.querySelectorAll("details.file section[data-shown]");
  var loading = Array.prototype.some.call(document.images, function (i) { return !i.complete; });
  if (drawn.length === sections.length && !loading) then(); else setTimeout(function () { whenDrawn(then); }, 10);
}
window.addEventListener("load", function () {
  document.querySelectorAll("details.file").forEach(function (d) { d.open = true; });
  whenDrawn(probe);
});
function probe() {
  var out = [];
  document.querySelectorAll("section").forEach(function (s) {
    var file = s.getAttribute("data-file");
    var rows = s.querySelectorAll("table.checks tbody tr");
    var n = {pass: 0, warn: 0, fail: 0, skipped: 0};
    rows.forEach(function (r) { n[r.className] = (n[r.className] || 0) + 1; });
    out.push(["ROWS", file, rows.length, n.fail, n.warn, n.skipped].join("\t"));
    s.querySelectorAll("figure").forEach(function (f) {
      var img = f.querySelector("img");
      if (!img) {
        out.push(["NOTSHOWN", file, f.dataset.source, f.textContent].join("\t"));
        return;
      }
      var w = img.naturalWidth, h = img.naturalHeight, corners = ["", ""];
      if (img.complete && w > 0) {
        var c = document.createElement("canvas");
        c.width = w; c.height = h;
        var g = c.getContext("2d");
        g.drawImage(img, 0, 0);
        corners = [[0, 0], [w - 1, h - 1]].map(function (p) {
          var d = g.getImageData(p[0], p[1], 1, 1).data;
          return d[0] + "," + d[1] + "," + d[2];
        });
      }
      out.push(["IMG", file, f.dataset.source, img.complete, w, h].concat(corners).join("\t"));
    });
    s.querySelectorAll("table.members tbody tr").forEach(function (r) {
      var cells = Array.prototype.map.call(r.cells, function (c) { return c.textContent; });
      out.push(["MEMBER", file].concat(cells).join("\t"));
    });
  });
  var tags = {};
  document.body.querySelectorAll("*").forEach(function (e) { tags[e.tagName] = 1; });
  out.push(["TAGS"].concat(Object.keys(tags).sort()).join("\t"));
  var pre = document.createElement("pre");
  pre.id = "probe";
  pre.textContent = "\n" + out.join("\n") + "\n";
  document.body.appendChild(pre);
}
</script>
JS
  HOME="$work/home" timeout 120 "$browser" --headless --no-sandbox --disable-gpu \
    --no-first-run --user-data-dir="$work/profile" --virtual-time-budget=5000 \
    --dump-dom "file://$work/probe.html" > "$work/dom.html" 2> "$work/browser.txt"
  sed -n '/<pre id="probe">/,/<\/pre>/p' "$work/dom.html" | sed '1d;$d' |
    sed 's/&lt;/</g; s/&gt;/>/g; s/&amp;/\&/g' > "$work/probe.txt"
  [ -s "$work/probe.txt" ] || { fail "$1: the probe wrote nothing"; tail -5 "$work/browser.txt"; }
}

# junit_rows FILE: "ROWS <suite> <tests> <failures> <warnings> <skipped>"
# per suite of a JUnit file, as the probe prints a section's rows.
junit_rows() {
  awk '
    function flush() { if (name != "" || seen) print "ROWS\t" name "\t" t "\t" f "\t" w "\t" s }
    /<testsuite / { flush(); seen = 1; match($0, /name="[^"]*"/); name = substr($0, RSTART + 6, RLENGTH - 7)
                    t = f = w = s = 0 }
    /<testcase / { t++ }
    /<failure / { f++ }
    /<system-out>WARN/ { w++ }
    /<skipped / { s++ }
    END { flush() }' "$1" | sed 's/&amp;/\&/g; s/&#39;/'"'"'/g'
}

# self_contained PAGE: no reference to anything outside the page (links
# within it aside).
self_contained() {
  outside=$(grep -o -i -E '(src|href|action|data)="[^"]*"|url\([^)]*\)|@import' "$1" |
            grep -v -E '^(src="data:image/bmp;base64,|href="#[a-z0-9]*"|data="|data-)' || true)
  [ -z "$outside" ] || fail "$1 refers outside itself: $(echo "$outside" | head -3)"
}

# pixel RGBFILE INDEX: the INDEX-th pixel of an 8-bit RGB file as "r,g,b".
pixel() { od -A n -t u1 -j $(($2 * 3)) -N 3 "$1" | awk '{ print $1 "," $2 "," $3 }'; }

# --- The reference BMP plug-in on bitmaps bottom-up and top-down, with a
# palette, with bit fields, run-length encoded, on one it declines and
# under a name HTML must escape.
pictures="info24 td_info8 v5_565 rle8hand"
cp "$bmp/info24.bmp" "$work/it's & more.bmp"
printf 'not a picture' > "$work/notes.txt"
set --
for p in $pictures; do set -- "$@" "$bmp/$p.bmp"; done
spicheck --html="$work/bmp.html" --junit="$work/bmp.xml" bmp.spi "$@" \
  "$work/it's & more.bmp" "$work/notes.txt"
[ $status -eq 0 ] || { fail "bmp.spi: exit status $status"; cat "$work/out.txt"; }
self_contained "$work/bmp.html"
probe "$work/bmp.html"
grep '^ROWS' "$work/probe.txt" | sed 's/\t[^\t]*\//\t/; s/\t[^\t]*\\/\t/' > "$work/rows.txt"
junit_rows "$work/bmp.xml" | sed 's/\t[^\t]*\//\t/; s/\t[^\t]*\\/\t/' > "$work/junit-rows.txt"
# The plug-in's section names no file; JUnit names its suite after the plug-in.
sed -i '1s/^ROWS\tbmp.spi\t/ROWS\t\t/' "$work/junit-rows.txt"
[ "$(wc -l < "$work/rows.txt")" -eq 7 ] || fail "bmp.spi: $(wc -l < "$work/rows.txt") sections, not 7"
cmp -s "$work/rows.txt" "$work/junit-rows.txt" ||
  { fail "bmp.spi: the page's check rows differ from the JUnit file's"; diff "$work/junit-rows.txt" "$work/rows.txt"; }
grep -q "^ROWS	notes.txt	[0-9]*	0	1	" "$work/rows.txt" || fail "notes.txt: no warning row"

expect_pictures() {  # NAME FILE RGBFILE WIDTH HEIGHT
  first=$(pixel "$3" 0)
  last=$(pixel "$3" $(($4 * $5 - 1)))
  for source in file memory offset preview; do
    line=$(grep "^IMG	[^	]*$1	$source	" "$work/probe.txt")
    want="true	$4	$5	$first	$last"
    [ "${line#*	$source	}" = "$want" ] ||
      fail "$1 ($source): the browser shows '${line#*	$source	}', expected '$want'"
  done
}
for p in $pictures; do
  set -- $(grep "^$p " "$bmp/list.txt")
  expect_pictures "$p.bmp" "$bmp/$p.bmp" "$bmp/$p.rgb" "$2" "$3"
done
set -- $(grep "^info24 " "$bmp/list.txt")
expect_pictures "it's & more.bmp" "$work/it's & more.bmp" "$bmp/info24.rgb" "$2" "$3"
[ "$(grep -c '^IMG' "$work/probe.txt")" -eq 20 ] ||
  fail "bmp.spi: $(grep -c '^IMG' "$work/probe.txt") pictures, not 20"

rm -rf "$shots/spicheck-html.png"
HOME="$work/home" timeout 120 "$browser" --headless --no-sandbox --disable-gpu --no-first-run \
  --user-data-dir="$work/profile" --hide-scrollbars --window-size=1280,2400 \
  --screenshot="$shots/spicheck-html.png" "file://$work/bmp.html" > /dev/null 2>&1
[ "$(head -c 8 "$shots/spicheck-html.png" 2>/dev/null | od -A n -t x1 | tr -d ' ')" = \
  89504e470d0a1a0a ] || fail "no screenshot in $shots/spicheck-html.png"

# --- A pixel block one row short: the pictures it spoils are named with
# the sizes, not read past their block; the preview is whole. A 2x2 picture
# of the defect plug-ins' format, pixels (1,17,33) first and (145,161,177)
# last.
printf 'DFI1\002\000\002\000\000\000\000\000\001\021\041\061\101\121\141\161\201\221\241\261' \
  > "$work/toy.dfi"
spicheck --html="$work/short.html" defect_short_bits.spi "$work/toy.dfi"
[ $status -eq 1 ] || { fail "defect_short_bits: exit status $status"; cat "$work/out.txt"; }
probe "$work/short.html"
for source in file memory offset; do
  grep -q "^NOTSHOWN	[^	]*	$source	.*not shown: the pixel block holds 8 bytes; the header describes 16$" \
    "$work/probe.txt" || fail "defect_short_bits ($source): $(grep "	$source	" "$work/probe.txt")"
done
grep -q "^IMG	[^	]*	preview	true	2	2	1,17,33	145,161,177$" "$work/probe.txt" ||
  fail "defect_short_bits preview: $(grep preview "$work/probe.txt")"

# --- A picture above the size embedded is named with its size; the page
# stays small.
perl -e 'print "DFI1", pack("vv", 4096, 400), "\0" x 4, "\x40\x80\xc0" x (4096 * 400)' \
  > "$work/big.dfi"
spicheck --fuzz=0 --rounds=10 --html="$work/big.html" defect_image.spi "$work/big.dfi"
[ $status -eq 0 ] || { fail "defect_image: exit status $status"; cat "$work/out.txt"; }
probe "$work/big.html"
[ "$(grep -c "^NOTSHOWN	.*, 4096x400, 24 bits, bottom-up: not shown: 4915254 bytes as a .bmp file, more than the 4194304 bytes embedded of a picture$" \
     "$work/probe.txt")" -eq 4 ] || fail "big.dfi: $(grep -v '^ROWS' "$work/probe.txt")"
[ "$(wc -c < "$work/big.html")" -lt 100000 ] || fail "big.dfi: a page of $(wc -c < "$work/big.html") bytes"

# --- The reference TAR plug-in: its member table is the archive's regular
# files, with sizes and dates as GNU tar lists them.
spicheck --html="$work/tar.html" tar.spi "$tar/ustar.tar"
[ $status -eq 0 ] || { fail "tar.spi: exit status $status"; cat "$work/out.txt"; }
self_contained "$work/tar.html"
probe "$work/tar.html"
grep '^MEMBER' "$work/probe.txt" | awk -F '\t' '{ print $3 "\t" $4 "\t" $6 }' > "$work/members.txt"
awk '/^-/ { name = $6; gsub("/", "\\", name); print name "\t" $3 "\t" $4 " " $5 }' \
  "$tar/ustar.list" > "$work/listed.txt"
cmp -s "$work/members.txt" "$work/listed.txt" ||
  { fail "tar.spi: the member table differs from tar's listing"; diff "$work/listed.txt" "$work/members.txt"; }

# --- Member names that hold markup are shown as text.
perl -e 'my @n = map { "m$_.txt" } 1..5;
  print "DFA1", pack("V", 5), map({ pack("a32V", $_, 2) } @n), map({ pack("V", 2) . "ok" } @n)' \
  > "$work/toy.dfa"
spicheck --html="$work/names.html" defect_archive_hostile_names.spi "$work/toy.dfa"
probe "$work/names.html"
grep -q '^MEMBER	[^	]*	a<b>|c.txt	2	' "$work/probe.txt" ||
  fail "hostile names: $(grep '^MEMBER' "$work/probe.txt" | cut -f3 | tr '\n' ' ')"
case "$(grep '^TAGS' "$work/probe.txt")	" in
  *"	B	"*) fail "hostile names: a member name became an element" ;;
esac

[ $failed -eq 0 ] && echo "spicheck --html: every page as expected"
exit $failed
