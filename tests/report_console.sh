#!/bin/sh
# spiprobe -c in a real console: Wine inside a detached tmux pane. Reads
# the screen to show that the progress display rewrites one row in place,
# prints the expected figures, and that "BITMAPINFOHEADER" then starts at
# column 0 of that row.
# Usage: report_console.sh BUILD_DIR. Exit 77 (skipped) without tmux.
set -u
build=$(cd "$1" && pwd)
. "$(dirname "$0")/console_pane.sh"

printf 'picture' > "$work/picture.bin"
# Four runs, one after the other. The first three fail their decode: its
# message begins with a newline, which leaves the progress row as the last
# call wrote it. The third succeeds, so the header overwrites the row.
cat > "$work/session.sh" <<INNER
. "$build/wine-env.sh"
cd "$build/bin"
probe() { wine spiprobe.exe -c scripted.spi "$work/picture.bin"; }
echo first; SPITEST_PROGRESS=7/0 SPITEST_RESULT_GetPicture=2 probe
echo second; SPITEST_PROGRESS=50/200 SPITEST_RESULT_GetPicture=2 probe
echo big; SPITEST_PROGRESS=2147483647/1 SPITEST_RESULT_GetPicture=2 probe
echo third; SPITEST_PROGRESS=1/4,2/4,1/3 probe
echo end-of-session
touch "$work/done"
INNER
start_pane 120
i=0
while [ ! -f "$work/done" ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
tmux_ capture-pane -p -S - -t 0 > "$work/screen" 2>/dev/null

fail() { echo "FAIL: $1"; echo "--- screen:"; cat "$work/screen"; exit 1; }
[ -f "$work/done" ] || fail "the session did not finish"
grep -q '^end-of-session$' "$work/screen" || fail "the screen lost the end of the session"

# Each run's part of the screen: the rows between its marker and the next.
part() { sed -n "/^$1\$/,/^$2\$/p" "$work/screen" | sed '1d;$d'; }
progress_rows() { part "$1" "$2" | grep -c '^(' ; }

first=$(part first second)
second=$(part second big)
big=$(part big third)
third=$(part third end-of-session)

# (7, 0): the count 7, the total 1 (a zero total is shown as 1), 700 %.
[ "$(progress_rows first second)" = 1 ] || fail "first run: not exactly one progress row"
echo "$first" | grep -q '^(  7/  1)  *700%$' || fail "first run: figures of (7, 0)"
# (50, 200): 25 %.
[ "$(progress_rows second big)" = 1 ] || fail "second run: not exactly one progress row"
echo "$second" | grep -q '^( 50/200)  *25%$' || fail "second run: figures of (50, 200)"
# A count whose product with 100 leaves 32 bits still gives its percentage.
echo "$big" | grep -q '^(2147483647/  1)  *214748364700%$' || fail "big count: percentage"
# Three calls on one row: none of the earlier texts is left on the screen,
# and the header starts at column 0 of the row the last call (1, 3) wrote.
echo "$third" | grep -q '/  4)' && fail "third run: an earlier progress text survived"
[ "$(progress_rows third end-of-session)" = 0 ] || fail "third run: a progress row was not overwritten"
echo "$third" | grep -q '^BITMAPINFOHEADER  *33%$' ||
  fail "third run: BITMAPINFOHEADER is not at column 0 of the progress row"
# The header's next line follows on the row below.
echo "$third" | grep -A1 '^BITMAPINFOHEADER' | tail -1 | grep -q 'StructSize:' ||
  fail "third run: the header's lines do not follow the progress row"
echo "progress display rewrites its row in place"
exit 0
