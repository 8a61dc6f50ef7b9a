#!/bin/sh
# spicheck's progress line in a real console (Wine inside a detached tmux
# pane): while a corpus is checked, standard error shows files done of all
# and the failures so far on one row; the row is erased before the end, so
# the screen keeps nothing of it; with standard error in a file, nothing of
# it is written there.
# Usage: spicheck_console.sh BUILD_DIR. Exit 77 (skipped) without tmux.
set -u
build=$(cd "$1" && pwd)
. "$(dirname "$0")/console_pane.sh"

mkdir "$work/corpus"
for i in $(seq 10 49); do printf 'a picture' > "$work/corpus/f$i.rft"; done
cat > "$work/session.sh" <<INNER
. "$build/wine-env.sh"
cd "$build/bin"
check() { wine spicheck.exe -j 2 --fuzz=8 --rounds=20 runner_faults.spi "$work/corpus"; }
check > "$work/out.txt"
echo end-of-session
check > "$work/out2.txt" 2> "$work/err.txt"
touch "$work/done"
INNER
start_pane 150

# The progress row, looked for while the first run goes on.
seen=""
i=0
while [ ! -f "$work/done" ] && [ $i -lt 1800 ]; do
  if [ -z "$seen" ]; then
    seen=$(tmux_ capture-pane -p -t 0 2>/dev/null |
           grep -E '^spicheck: [0-9]+ of 40 files, [0-9]+ failed' | head -1)
  fi
  sleep 0.1
  i=$((i + 1))
done
tmux_ capture-pane -p -S - -t 0 > "$work/screen" 2>/dev/null

fail() { echo "FAIL: $1"; echo "--- screen:"; cat "$work/screen"; exit 1; }
[ -f "$work/done" ] || fail "the session did not finish"
[ -n "$seen" ] || fail "no progress row was seen"
echo "seen: $seen"
grep -q "^end-of-session" "$work/screen" || fail "the screen lost the end of the session"
grep -q "of 40 files" "$work/screen" && fail "the progress row was left on the screen"
grep -q "passed, .* failed" "$work/out.txt" || fail "the report is not whole: $(tail -2 "$work/out.txt")"
grep -q "of 40 files" "$work/out.txt" && fail "the progress row went to standard output"
[ -s "$work/err.txt" ] && fail "standard error in a file got: $(head -c 200 "$work/err.txt")"
cmp -s "$work/out.txt" "$work/out2.txt" || fail "the two reports differ"
echo "spicheck's progress row: shown on the console and nowhere else"
exit 0
