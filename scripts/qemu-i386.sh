#!/bin/sh
# Runs one command with 32-bit x86 programs started through qemu-user, for a
# machine whose kernel cannot run them (its 32-bit emulation is off). For
# trying single 32-bit test programs by hand there, not for `make test`:
#
#   sh scripts/qemu-i386.sh sh scripts/wine-session.sh build \
#     sh -c 'cd build/bin && ../wine-run.sh test_tar_wide_exports.exe'
#
# What it does, as root: installs qemu-user-static if missing, registers it
# for 32-bit x86 programs with binfmt_misc for the command's duration (and
# removes the registration again on every way out), and tells qemu to keep
# a guest address space just above 2 GiB: with the whole 4 GiB, Wine's
# 32-bit start-up reserves its address space in tens of thousands of
# mappings and a program takes about a minute to start; so it takes about
# four seconds.
#
# Known limits (qemu 7.2): an exception inside a 32-bit program (an access
# violation a fault guard should catch, a guard page) is not delivered as
# Windows delivers it, and the program or qemu dies; now and then a 32-bit
# program that starts another one loses its connection to the Wine server.
# So tests of faults fail here for reasons of the emulator, not of the code.
set -u
[ $# -gt 0 ] || { echo "usage: qemu-i386.sh COMMAND..." >&2; exit 2; }
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  exec "$@"  # 32-bit programs run already
fi
[ "$(id -u)" -eq 0 ] || { echo "qemu-i386.sh: binfmt_misc needs root" >&2; exit 1; }
if [ ! -x /usr/bin/qemu-i386-static ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends qemu-user-static \
    >/dev/null || exit 1
fi
binfmt=/proc/sys/fs/binfmt_misc
[ -w "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" || exit 1
entry="$binfmt/qemu-i386"
if [ ! -e "$entry" ]; then
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
    >"$binfmt/register" || exit 1
  trap 'echo -1 >"$entry"' EXIT
  trap 'exit 1' HUP INT TERM
fi
export QEMU_RESERVED_VA=0x81000000
"$@"
