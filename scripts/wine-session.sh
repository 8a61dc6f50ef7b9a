#!/bin/sh
# Runs a command with the build's Wine prefix ready and its server running,
# then ends the server. Usage: wine-session.sh BUILD_DIR COMMAND...
#
# The prefix is created before anything reads standard error (its first
# start prints pages of messages). The server is started here, persistent
# and detached from our output, so that CTest neither waits for it after
# each test nor hangs on a server holding its pipes open.
set -u
build=$(cd "$1" && pwd)
shift
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export TZ=UTC
unset DISPLAY WAYLAND_DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix $WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi
(wineserver -p; wine cmd /c exit) </dev/null >/dev/null 2>&1
"$@"
status=$?
wineserver -k </dev/null >/dev/null 2>&1
exit $status
