#!/bin/sh
# Runs a command with the Wine prefix of a build (the one its wine-env.sh
# names) ready and its server running, then ends the server. Usage:
#   wine-session.sh BUILD_DIR COMMAND...   the whole session around COMMAND
#   wine-session.sh BUILD_DIR --start      only its start (CTest's set-up)
#   wine-session.sh BUILD_DIR --stop       only its end (CTest's clean-up)
#
# The prefix is created before anything reads standard error (its first
# start prints pages of messages). A prefix made while only 32-bit Wine was
# installed cannot run 64-bit programs: once wine64 is there, it is made
# again. The server is started here, persistent and detached from our
# output, so that CTest neither waits for it after each test nor hangs on a
# server holding its pipes open.
set -u
build=$(cd "$1" && pwd)
shift
[ -f "$build/wine-env.sh" ] || { echo "wine-session.sh: $build is not configured" >&2; exit 1; }
. "$build/wine-env.sh"

# The prefix is a 64-bit one: made and kept up by the 64-bit loader where it
# is installed, which also works where 32-bit programs cannot run.
loader=wine
[ -x /usr/lib/wine/wine64 ] && loader=/usr/lib/wine/wine64

start() {
  if [ -f "$WINEPREFIX/system.reg" ] && [ -x /usr/lib/wine/wine64 ] &&
     grep -q '^#arch=win32' "$WINEPREFIX/system.reg"; then
    echo "Recreating the 32-bit Wine prefix $WINEPREFIX as a 64-bit one"
    wineserver -k </dev/null >/dev/null 2>&1
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    "$loader" wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w
    [ -f "$WINEPREFIX/system.reg" ] || { echo "wine-session.sh: wineboot made no prefix" >&2; exit 1; }
  fi
  (wineserver -p; "$loader" cmd /c exit) </dev/null >/dev/null 2>&1
}
stop() { wineserver -k </dev/null >/dev/null 2>&1; }

case "${1:-}" in
  --start) start; exit 0 ;;
  --stop) stop; exit 0 ;;
esac
start
"$@"
status=$?
stop
exit $status
