#!/bin/sh
# The set-up's reading of apt-get update's output, on outputs recorded from
# the archive's bad days (apt-outputs/), and the sources and the install
# command it makes without the failing suites. Needs no network.
# Usage: apt_suites.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../scripts/apt-suites.sh"
outputs="$here/apt-outputs"
failures=0 passed=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# expect NAME EXPECTED ACTUAL
expect() {
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failures=$((failures + 1))
    printf 'FAILED %s\n--- expected\n%s\n--- actual\n%s\n' "$1" "$2" "$3"
  fi
}

expect "size mismatch" "bookworm-security i386 sync" "$(failed_indices <"$outputs/size-mismatch.txt")"
expect "hash sum mismatch" "bookworm-updates amd64 sync" "$(failed_indices <"$outputs/hash-mismatch.txt")"
expect "404" "bookworm-updates i386 404" "$(failed_indices <"$outputs/not-found.txt")"
expect "clean run" "" "$(failed_indices <"$outputs/clean.txt")"
expect "two suites: indices" "bookworm-security i386 sync
bookworm-security amd64 sync
bookworm-updates i386 404" "$(failed_indices <"$outputs/two-suites.txt")"
expect "two suites: suites" "bookworm-security
bookworm-updates" "$(failed_indices <"$outputs/two-suites.txt" | failed_suites)"
expect "no Release file" "bookworm-backports - 404" "$(echo \
  "E: The repository 'http://mirror.example/debian bookworm-backports Release' does not have a Release file." |
  failed_indices)"

expect "the line for a mirror mid-sync" \
  "the archive's bookworm-security index for i386 did not download (the mirror may be mid-sync); installing without bookworm-security" \
  "$(left_out_line bookworm-security i386 sync)"
expect "the line for a missing index" \
  "the archive's bookworm-backports index was not found on the mirror; installing without bookworm-backports" \
  "$(left_out_line bookworm-backports - 404)"

# Sources of both formats; the suite goes from every entry, an entry with
# no suite left goes whole, everything else stays as it was.
mkdir -p "$work/etc/sources.list.d"
cat >"$work/etc/sources.list" <<'END'
# the machine's own
deb http://mirror.example/debian bookworm main
deb [arch=amd64,i386 signed-by=/k.gpg] http://mirror.example/debian-security bookworm-security main
  deb-src http://mirror.example/debian bookworm-updates main
END
cat >"$work/etc/sources.list.d/debian.sources" <<'END'
Types: deb
URIs: http://mirror.example/debian
Suites: bookworm bookworm-updates
Components: main

Types: deb
URIs: http://mirror.example/debian-security
Suites: bookworm-security
Components: main
END
echo "deb http://mirror.example/other bookworm-security main" >"$work/etc/sources.list.d/other.list"
echo "ignored by apt" >"$work/etc/sources.list.d/old.list.disabled"
APT_ETC="$work/etc" sources_without "$work/out" bookworm-security bookworm-updates
expect "one-line sources" "# the machine's own
deb http://mirror.example/debian bookworm main" "$(cat "$work/out/sources.list")"
expect "deb822 sources" "Types: deb
URIs: http://mirror.example/debian
Suites: bookworm
Components: main" "$(cat "$work/out/sources.list.d/debian.sources")"
expect "a list left empty" "" "$(cat "$work/out/sources.list.d/other.list")"
expect "files apt does not read are not copied" "debian.sources other.list" \
  "$(cd "$work/out/sources.list.d" && echo *)"
APT_ETC="$work/etc" sources_without "$work/out2" none-of-them
expect "nothing left out: the sources unchanged" "" \
  "$(diff "$work/etc/sources.list" "$work/out2/sources.list";
     diff "$work/etc/sources.list.d/debian.sources" "$work/out2/sources.list.d/debian.sources")"

expect "install command" \
  "apt-get install -y --no-install-recommends -o Dir::Etc::SourceList=/tmp/s/sources.list -o Dir::Etc::SourceParts=/tmp/s/sources.list.d wine wine32:i386" \
  "$(apt_install_command /tmp/s wine wine32:i386)"
expect "install command from the machine's sources" \
  "apt-get install -y --no-install-recommends wine" "$(apt_install_command "" wine)"

echo "$passed passed, $failures failed"
[ $failures = 0 ]
