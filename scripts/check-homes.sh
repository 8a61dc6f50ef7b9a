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

# Files that keep a mechanism of their own until they move onto its home:
# spicheck's worker process and its supervisor are to stand on
# plugin/isolation/ as the plug-in runner does (start, last-chance filter,
# ending the worker, the crash record); so is the last chance of spicheck's
# --in-process mode in main.cpp, which completes the report when a plug-in
# ends spicheck's own process.
ALLOWED="spicheck/supervisor.cpp spicheck/worker.cpp spicheck/main.cpp"

# rule <home> <what> <extended regular expression> [allowed files] [lines
# that match but are no use of the mechanism]
rule() {
  home=$1 what=$2 pattern=$3 allowed=$4 besides=${5:-^$}
  found=$(grep -rnE --include='*.cpp' --include='*.h' "$pattern" plugin runner driver spicheck |
          grep -v "^$home/" | grep -v '^[^:]*:[0-9]*: *//' | grep -vE "$besides")
  for file in $allowed; do
    found=$(printf '%s\n' "$found" | grep -v "^$file:")
  done
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
rule plugin/base "reads an exception record's parameters" 'ExceptionInformation\[' "$ALLOWED"
rule plugin/isolation "starts a process" 'CreateProcess[AW]?\(' "$ALLOWED"
rule plugin/isolation "sets an unhandled-exception filter" 'SetUnhandledExceptionFilter' "$ALLOWED"
rule plugin/isolation "ends another process" 'TerminateProcess\(' "$ALLOWED" \
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
