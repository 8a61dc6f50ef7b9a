#!/bin/sh
# Installs what building and testing need, from Debian's archive. Quick and
# silent when everything is already there; otherwise one line says what is
# installed, and the package manager's output goes to BUILD_DIR/setup.log,
# whose path is printed if the installation fails. An archive suite whose
# index does not download (a mirror mid-sync) is tried again, then left
# out, and a line says so.
# Usage: setup.sh [BUILD_DIR] (default build)
set -e
build=${1:-build}
packages="g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64 cmake ninja-build
googletest imagemagick tar tmux make chromium python3-junitparser zip unzip"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

mkdir -p "$build"
log="$(cd "$build" && pwd)/setup.log"
echo "Installing from Debian's archive:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
. "$(dirname "$0")/apt-suites.sh"
fail() {
  echo "setup.sh: the installation failed; the package manager's output is in $log" >&2
  exit 1
}

# apt-get update, tried again while an index fails to download (a mirror
# mid-sync catches up in a while). What it printed last stays in $updated.
updated="$build/apt-update.out"
update() {
  tries=0
  while :; do
    tries=$((tries + 1))
    $SUDO apt-get update >"$updated" 2>&1 && [ -z "$(failed_indices <"$updated")" ] && status=0 || status=1
    cat "$updated" >>"$log"
    [ $status = 0 ] && return 0
    [ -n "$(failed_indices <"$updated")" ] || return 1
    [ $tries -ge 3 ] && return 0
    sleep "${SPI_SETUP_RETRY_PAUSE:-10}"
  done
}

: >"$log"
sources=""
trap 'rm -rf ${sources:+"$sources"} "$updated"' EXIT
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386 >>"$log" 2>&1 || fail
fi
update || fail
# Suites whose indices still did not arrive are left out for every
# architecture, in a copy of the sources that only this installation uses.
failed=$(failed_indices <"$updated")
if [ -n "$failed" ]; then
  sources=$(mktemp -d)
  echo "$failed" | awk '!seen[$1]++' | while read -r suite arch cause; do
    echo "setup.sh: $(left_out_line "$suite" "$arch" "$cause")"
  done
  sources_without "$sources" $(echo "$failed" | failed_suites)
fi
$SUDO env DEBIAN_FRONTEND=noninteractive $(apt_install_command "$sources" $missing) >>"$log" 2>&1 || fail
