#!/bin/sh
# spicheck's HTML page of a corpus of 1,000 small bitmaps (some cut short,
# some no bitmap at all), checked by two workers side by side, opened in
# headless Chromium: its matrix has one row per file, and each cell's
# colour is the worst verdict of its family of checks as the JUnit file of
# the same run has them; a file's section, opened, shows as many check rows
# as its JUnit suite has cases. Prints the page's size.
# Usage: spicheck_corpus_html.sh BUILD_DIR [FILES]. Exit 77 (skipped)
# without chromium.
set -u
build=$(cd "$1" && pwd)
count=${2:-1000}
browser=$(command -v chromium || command -v chromium-browser) ||
  { echo "chromium is missing: skipped"; exit 77; }
work=$(mktemp -d "$build/corpus-html.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
failed=0
fail() { echo "FAIL: $*"; failed=1; }

sh "$(dirname "$0")/../scripts/make-bitmap-corpus.sh" "$work/corpus" "$count" mixed

(cd "$build/bin" && "$build/wine-run.sh" spicheck.exe -j 2 --fuzz=0 --rounds=10 \
   --html="$work/page.html" --junit="$work/run.xml" bmp.spi "$work/corpus") > "$work/out.txt" 2>&1
status=$?
[ $status -eq 1 ] || { fail "exit status $status"; tail -5 "$work/out.txt"; }
size=$(wc -c < "$work/page.html")
echo "the page of $count files: $size bytes"

# What the matrix shows: "CELL <file> <family> <class>", and one opened
# section's "ROWS <file> <rows>".
{ cat "$work/page.html"; cat <<'JS'; } > "$work/probe.html"
<script>
window.addEventListener("load", function () {
  var out = [], families = [];
  document.querySelectorAll("table.matrix thead th").forEach(function (th) { families.push(th.textContent); });
  var rows = document.querySelectorAll("table.matrix tbody tr.file");
  out.push("FILES\t" + rows.length);
  rows.forEach(function (tr) {
    var name = tr.cells[0].textContent;
    for (var i = 1; i < tr.cells.length; ++i)
      if (tr.cells[i].className)
        out.push(["CELL", name, families[i], tr.cells[i].className].join("\t"));
  });
  var opened = document.querySelector("details.file");
  opened.open = true;
  setTimeout(function () {
    var s = opened.querySelector("section");
    out.push(["ROWS", s.getAttribute("data-file"), s.querySelectorAll("table.checks tbody tr").length].join("\t"));
    var pre = document.createElement("pre");
    pre.id = "probe";
    pre.textContent = "\n" + out.join("\n") + "\n";
    document.body.appendChild(pre);
  }, 100);
});
</script>
JS
HOME="$work/home" timeout 300 "$browser" --headless --no-sandbox --disable-gpu --no-first-run \
  --user-data-dir="$work/profile" --virtual-time-budget=10000 \
  --dump-dom "file://$work/probe.html" > "$work/dom.html" 2> "$work/browser.txt"
sed -n '/<pre id="probe">/,/<\/pre>/p' "$work/dom.html" | sed '1d;$d' > "$work/probe.txt"
[ -s "$work/probe.txt" ] || { fail "the probe wrote nothing"; tail -5 "$work/browser.txt"; }
grep -q "^FILES	$count\$" "$work/probe.txt" || fail "matrix rows: $(grep '^FILES' "$work/probe.txt")"

# The same cells from the JUnit file: the worst case of each family per suite.
awk '
  function family(name) { sub(/\..*/, "", name); return name == "file" ? "probe" : name }
  function note(o) { if (rank[o] > rank[worst[suite, fam]]) worst[suite, fam] = o; seen[suite, fam] = 1 }
  BEGIN { rank["skipped"] = 1; rank["pass"] = 2; rank["warn"] = 3; rank["fail"] = 4 }
  /<testsuite / { match($0, / name="[^"]*"/); suite = substr($0, RSTART + 7, RLENGTH - 8); n++ }
  /<testcase / { match($0, / name="[^"]*"/); fam = family(substr($0, RSTART + 7, RLENGTH - 8))
                 o = "pass"; if ($0 !~ /\/>$/) pending = 1; else if (n > 1) note(o); next }
  pending && /<failure / { o = "fail" }
  pending && /<system-out>WARN/ { o = "warn" }
  pending && /<skipped / { o = "skipped" }
  pending && /<\/testcase>/ { pending = 0; if (n > 1) note(o) }
  END { for (k in seen) { split(k, p, SUBSEP); print "CELL\t" p[1] "\t" p[2] "\t" worst[k] } }' \
  "$work/run.xml" | sort > "$work/junit-cells.txt"
grep '^CELL' "$work/probe.txt" | sort > "$work/page-cells.txt"
[ "$(wc -l < "$work/junit-cells.txt")" -ge "$count" ] || fail "the JUnit file has too few cells"
cmp -s "$work/junit-cells.txt" "$work/page-cells.txt" ||
  { fail "the matrix differs from the JUnit file"; diff "$work/junit-cells.txt" "$work/page-cells.txt" | head -10; }
for colour in pass warn fail; do
  grep -q "	$colour\$" "$work/page-cells.txt" || fail "no $colour cell in the matrix"
done
# The first file's section, opened, has a row per case of its suite.
set -- $(grep '^ROWS' "$work/probe.txt")
cases=$(awk -v f="$2" '/<testsuite / && index($0, " name=\"" f "\"") { print; exit }' "$work/run.xml" |
        sed 's/.* tests="\([0-9]*\)".*/\1/')
[ -n "${3:-}" ] && [ "$3" = "$cases" ] || fail "the opened section shows ${3:-no} rows, its suite $cases"

[ $failed -eq 0 ] && echo "spicheck's page of $count files: the matrix agrees with the JUnit file"
exit $failed
