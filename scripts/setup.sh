#!/bin/sh
# Installs what building and testing need, from Debian's archive. Quick and
# silent when everything is already there; otherwise one line says what is
# installed, and the package manager's output goes to BUILD_DIR/setup.log,
# whose path is printed if the installation fails.
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
install() {
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386 || return
  fi
  $SUDO apt-get update &&
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
}
if ! install >"$log" 2>&1; then
  echo "setup.sh: the installation failed; the package manager's output is in $log" >&2
  exit 1
fi
