#!/bin/sh
# spicheck --junit read by a real consumer of the format: python3's
# junitparser counts the tests, failures and skips of a run with a failing
# defect plug-in, a file it cannot read and one it declines.
# Usage: spicheck_junit.sh BUILD_DIR [SPICHECK PLUGIN_EXTENSION] (default
# spicheck.exe and .spi; spicheck64.exe and .sph in the x64 tree).
# Exit 77 (skipped) without junitparser.
set -u
build=$(cd "$1" && pwd)
spicheck=${2:-spicheck.exe}
ext=${3:-.spi}
py=/usr/bin/python3
"$py" -c "import junitparser" 2>/dev/null || { echo "python3-junitparser is missing: skipped"; exit 77; }

work=$(mktemp -d "$build/junit-test.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
# A 2x2 picture of the defect plug-ins' toy format.
printf 'DFI1\002\000\002\000\000\000\000\000\001\021\041\061\101\121\141\161\201\221\241\261' \
  > "$work/pic.dfi"
printf 'not a picture' > "$work/notes.txt"

cd "$build/bin"
"$build/wine-run.sh" "$spicheck" --fuzz=8 --rounds=20 --junit="$work/report.xml" \
  "defect_progress_overrun$ext" "$work/pic.dfi" "$work/absent.dfi" "$work/notes.txt" \
  > "$work/out.txt" 2>&1
status=$?
[ $status -eq 1 ] || { echo "exit status $status, not 1"; cat "$work/out.txt"; exit 1; }

# The plug-in's 7 checks, of which the two wide ones are left out (the
# plug-in has no wide exports); 25 checks of an image file each, of which
# the 32-bit tree leaves out the two of x64 plug-ins (probe.low-address,
# picture.layout) and the x64 tree probe.forms-agree; picture.reference is
# left out in both (no --expect), and so are wide.agree and wide.names.
# pic.dfi: callback.progress fails. absent.dfi: file.read fails, the other
# 24 are left out. notes.txt: file.read passes, probe.accepts warns (a
# passing case), the 20 after it are left out.
"$py" - "$work/report.xml" "$ext" <<'PY'
import sys
from junitparser import JUnitXml, Failure, Skipped
ext = sys.argv[2]
of_other_bitness = 1 if ext == ".sph" else 2
def base(name):
    return name.replace("\\", "/").rsplit("/", 1)[-1]
xml = JUnitXml.fromfile(sys.argv[1])
suites = list(xml)
seen = [(base(s.name), s.tests, s.failures, s.skipped) for s in suites]
# Counted again from the cases, as a CI system does.
counted = []
for s in suites:
    cases = list(s)
    fails = sum(1 for c in cases if any(isinstance(r, Failure) for r in c.result))
    skips = sum(1 for c in cases if any(isinstance(r, Skipped) for r in c.result))
    counted.append((base(s.name), len(cases), fails, skips))
expected = [("defect_progress_overrun" + ext, 7, 0, 2), ("pic.dfi", 25, 1, of_other_bitness + 3),
            ("absent.dfi", 25, 1, 24), ("notes.txt", 25, 0, 20 + (1 if ext == ".sph" else 0))]
ok = seen == expected and counted == expected
reasons = [r.message for s in suites for c in s for r in c.result if isinstance(r, Failure)]
if reasons != ["progress 2/1 exceeds its total (call 3)", "cannot read the file (error 2)"]:
    ok = False
print("suites (name, tests, failures, skipped):", seen)
print("counted from the cases:", counted)
print("failure messages:", reasons)
sys.exit(0 if ok else 1)
PY
