# The environment every Windows program of a build runs in under Wine, in
# one place: the build's own prefix, no debug output, no offer to install
# Mono or Gecko, the time zone UTC, a UTF-8 locale that no LC_* variable
# overrides (Wine spells file names on disk in it), and no display.
# Sourced, with wine_build set to the build folder (an absolute path), by
# the CTest wrapper (wine-run.sh), scripts/wine-session.sh (the make
# targets) and tests/report_console.sh.
export WINEPREFIX="$wine_build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export TZ=UTC
export LANG=C.UTF-8
unset LANGUAGE LC_ALL LC_CTYPE LC_NUMERIC LC_TIME LC_COLLATE LC_MONETARY LC_MESSAGES \
      LC_PAPER LC_NAME LC_ADDRESS LC_TELEPHONE LC_MEASUREMENT LC_IDENTIFICATION
unset DISPLAY WAYLAND_DISPLAY
