# Shell functions that setup.sh sources: reading `apt-get update`'s output
# for the archive suites whose indices did not download, and installing
# without them. A suite is left out for every architecture at once, so
# that packages of several architectures (Multi-Arch: same) still come
# from one version. The machine's own sources are never edited: a copy
# without the suite goes to a temporary folder that apt is pointed at by
# option.

# failed_indices: reads apt-get update's output on standard input and
# prints a line "SUITE ARCH CAUSE" for each index that failed to download,
# once each. ARCH is "-" where the index is not bound to an architecture
# (a Release file, translations); CAUSE is "sync" (a size or hash
# mismatch: the mirror is mid-sync), "404" or "other".
failed_indices() {
  sed -n \
    -e "s#^[EW]: Failed to fetch [^ ]*/dists/\([^/ ]*\)/[^ ]*binary-\([a-z0-9]*\)/[^ ]* *\(.*\)#\1 \2 \3#p" \
    -e "t" \
    -e "s#^[EW]: Failed to fetch [^ ]*/dists/\([^/ ]*\)/[^ ]* *\(.*\)#\1 - \2#p" \
    -e "t" \
    -e "s#^[EW]: The repository '[^ ]* \([^ ]*\) Release' \(.*\)#\1 - \2#p" |
  while read -r suite arch cause; do
    case $cause in
      *"unexpected size"*|*"Hash Sum mismatch"*|*"Mirror sync"*) cause=sync ;;
      *404*|*"does not have a Release file"*) cause=404 ;;
      *) cause=other ;;
    esac
    echo "$suite $arch $cause"
  done | awk '!seen[$0]++'
}

# failed_suites: the suites of failed_indices' lines (standard input), once
# each, in the order met.
failed_suites() {
  awk '!seen[$1]++ { print $1 }'
}

# left_out_line SUITE ARCH CAUSE: the line that tells a user why a suite
# is left out.
left_out_line() {
  index="the archive's $1 index"
  [ "$2" = - ] || index="$index for $2"
  case $3 in
    sync) why="did not download (the mirror may be mid-sync)" ;;
    404) why="was not found on the mirror" ;;
    *) why="did not download" ;;
  esac
  echo "$index $why; installing without $1"
}

# sources_without DEST SUITE...: writes the sources of the apt
# configuration rooted at $APT_ETC (default /etc/apt) to DEST/sources.list
# and DEST/sources.list.d, with the SUITEs taken out of every entry, one-
# line and deb822 alike; an entry left with no suite is dropped.
sources_without() {
  dest=$1
  shift
  etc=${APT_ETC:-/etc/apt}
  mkdir -p "$dest/sources.list.d"
  : >"$dest/sources.list"
  [ -f "$etc/sources.list" ] && one_line_without "$@" <"$etc/sources.list" >"$dest/sources.list"
  for f in "$etc"/sources.list.d/*.list; do
    [ -f "$f" ] && one_line_without "$@" <"$f" >"$dest/sources.list.d/${f##*/}"
  done
  for f in "$etc"/sources.list.d/*.sources; do
    [ -f "$f" ] && deb822_without "$@" <"$f" >"$dest/sources.list.d/${f##*/}"
  done
  return 0
}

# one_line_without SUITE...: a sources.list (standard input) without the
# lines whose suite is one of SUITEs. The suite is the word after the URI,
# which follows "deb" or "deb-src" and an optional [options] block.
one_line_without() {
  awk -v drop=" $* " '
    /^[ \t]*deb(-src)?[ \t]/ {
      n = split($0, w, /[ \t]+/); i = 1
      while (i <= n && w[i] == "") i++
      i++
      if (w[i] ~ /^\[/) { while (i <= n && w[i] !~ /\]$/) i++; i++ }
      if (index(drop, " " w[i + 1] " ")) next
    }
    { print }'
}

# deb822_without SUITE...: a .sources file (standard input) without the
# SUITEs in its Suites: fields; a stanza whose suites are all gone is left
# out whole.
deb822_without() {
  awk -v drop=" $* " '
    function flush() {
      if (stanza != "" && keep) printf "%s", stanza
      stanza = ""; keep = 1
    }
    BEGIN { keep = 1 }
    /^[ \t]*$/ { flush(); print; next }
    /^Suites:/ {
      n = split(substr($0, 8), s, /[ \t]+/); line = "Suites:"; left = 0
      for (i = 1; i <= n; i++)
        if (s[i] != "" && !index(drop, " " s[i] " ")) { line = line " " s[i]; left++ }
      if (!left) keep = 0
      stanza = stanza line "\n"; next
    }
    { stanza = stanza $0 "\n" }
    END { flush() }'
}

# apt_source_options DEST: the options that point apt at the sources made
# by sources_without in DEST.
apt_source_options() {
  echo "-o Dir::Etc::SourceList=$1/sources.list -o Dir::Etc::SourceParts=$1/sources.list.d"
}

# apt_install_command SOURCES_DIR PACKAGE...: the command that installs the
# PACKAGEs, from the sources in SOURCES_DIR when it is not empty (made by
# sources_without), else from the machine's own.
apt_install_command() {
  options=""
  [ -n "$1" ] && options=" $(apt_source_options "$1")"
  shift
  echo "apt-get install -y --no-install-recommends$options $*"
}
