#!/bin/sh
# One home per mechanism: each Win32 mechanism below is written in one
# folder of the product and used from there. Run from anywhere:
#
#   sh scripts/check-homes.sh [source folder]
#
# Prints every line outside a mechanism's home and fails on any. The
# product is plugin/, runner/, driver/ and spicheck/; plug-ins (reference
# and test ones) see only the API and keep their own few lines, and tests
# may do what they test.
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
status=0

# rule <home> <what> <extended regular expression> [lines that match but
# are no use of the mechanism]
rule() {
  home=$1 what=$2 pattern=$3 besides=${4:-^$}
  found=$(grep -rnE --include='*.cpp' --include='*.h' "$pattern" plugin runner driver spicheck |
          grep -v "^$home/" | grep -v '^[^:]*:[0-9]*: *//' | grep -vE "$besides")
  found=$(printf '%s\n' "$found" | sed '/^$/d')
  if [ -n "$found" ]; then
    echo "only $home/ $what:"
    printf '%s\n' "$found" | sed 's/^/  /'
    status=1
  else
    echo "only $home/ $what: yes"
  fi
}

rule plugin/base "converts text" 'MultiByteToWideChar|WideCharToMultiByte'
rule plugin/base "makes a no-access page" 'PAGE_NOACCESS'
rule plugin/base "reads an exception record's parameters" 'ExceptionInformation\['
rule plugin/isolation "starts a process" 'CreateProcess[AW]?\('
rule plugin/isolation "sets an unhandled-exception filter" 'SetUnhandledExceptionFilter'
rule plugin/isolation "ends another process" 'TerminateProcess\(' \
  'TerminateProcess\(GetCurrentProcess\(\)'

# spicheck runs plug-ins in its own processes: it has no use for the
# runner's client.
found=$(grep -rnE --include='*.cpp' --include='*.h' '#include "(remote/|spiplugin\.h)' spicheck)
if [ -n "$found" ]; then
  echo "spicheck includes remote/:"
  printf '%s\n' "$found" | sed 's/^/  /'
  status=1
else
  echo "spicheck never includes remote/: yes"
fi
exit $status
