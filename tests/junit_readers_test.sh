#!/usr/bin/env bash
# Real readers of what zrmjunit writes: xmllint finds every document valid
# against tests/junit.xsd (the elements and attributes the strictest common
# reader takes), and junitparser (the Python library CI plug-ins use) agrees
# on suites, cases, failures, errors, skipped cases and messages: for the
# example merges, for a report whose names hold markup characters, control
# characters and bytes that are not UTF-8, and for a generated merge of a few
# hundred files whose document stays within the size it is given. Installs
# both through build.sh when they are missing; exits 77 (skipped) when they
# cannot be had, or fails when CI is set.
#   junit_readers_test.sh STAGE SOURCE_DIR ZVGEN
set -uo pipefail
stage=$(cd "${1:?usage: junit_readers_test.sh STAGE SOURCE_DIR}" && pwd)
source_dir=$(cd "${2:?usage: junit_readers_test.sh STAGE SOURCE_DIR ZVGEN}" && pwd)
zvgen=${3:-}

source "$(dirname "$0")/test_lib.sh"

# Debian's junitparser goes with Debian's Python, whatever else is on PATH.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
have_readers() { command -v xmllint >/dev/null && "$python" -c 'import junitparser' 2>/dev/null; }
if ! have_readers; then
    if [ "$(id -u)" -ne 0 ] && ! sudo -n true 2>/dev/null; then
        skip "xmllint or junitparser is missing and this user cannot install packages"
    fi
    echo "xmllint or junitparser is missing: installing them with build.sh junit-readers"
    "$source_dir/build.sh" junit-readers || skip "xmllint and junitparser could not be installed"
    have_readers || skip "xmllint and junitparser could not be installed"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-junit.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$source_dir"/examples/*.tdc "$source_dir"/examples/*.rio "$work"/
cd "$work" || fail "no work directory"
export MOLVEXDIR="$stage" ZRM_DIR="$stage/bin" LANG=C
"$stage/bin/zovizeve" door_open.tdc door_open_run1.rio door_open_run2.rio door_lock.tdc door_lock_run1.rio \
    door_lock_run2.rio hall_call.tdc hall_call_car.rio hall_call_shaft.rio hall_call_landing.rio >run.log 2>&1
"$stage/bin/zovizeve" -TIME -RDD=lift.rdd lift_call.tdc lift_call_panel.rio lift_call_drive.rio >>run.log 2>&1
printf '%s\n' \
    'KORVA Probeworks "v2.6a" "P&<""'"'"'>" "RDD file" "Mon Dec 07 00:25:09 2026" ' \
    $'RE "sc\xffript <1>" "t" "s.tds" "3.1" "1" "1" ' \
    'CF "a&b.rod" "" "/w<" "1" "2" "1" "0" ' \
    $'DS "A&B<C>""D""\x01\x1b" "fails \xc3\x28 here" "s.tds" "1" "10" "1" "5" ' \
    'FS "A&B<C>""D""" "20" "1" "1" "6" ' \
    $'DS "tab\there" "unsure" "s.tds" "2" "30" "1" "7" ' \
    'FS "tab	here" "40" "2" "1" "8" ' \
    $'DS "\xef\xbf\xbe" "odd" "s.tds" "3" "50" "1" "9" ' \
    'FS "x" "60" "?" "1" "10" ' >odd.rdd
[ -x "$zvgen" ] || fail "usage: junit_readers_test.sh STAGE SOURCE_DIR ZVGEN (the campaign generator)"
mkdir gen && (cd gen && "$zvgen" . a 300 20000 >/dev/null &&
    "$stage/bin/zovizeve" -RDD=gen.rdd campaign.tdc campaign_*.rio >run.log 2>&1) ||
    [ -s gen/gen.rdd ] || fail "no generated merge"
for rdd in zrmrdd.rdd lift.rdd odd.rdd; do
    "$stage/bin/zrmjunit" "$rdd" || fail "zrmjunit $rdd"
done
"$stage/bin/zrmjunit" gen/gen.rdd --max-size 300000 || fail "zrmjunit gen/gen.rdd"
"$stage/bin/zrmjunit" gen/gen.rdd -o gen/all.xml --all-output --max-size 300000 2>gen/all.err ||
    fail "zrmjunit --all-output"
# Every case's output cannot fit in 300 kB: the document is whole, and says so.
grep -q "^zrmjunit: gen/all.xml is [0-9]* bytes, above the 300000 of --max-size" gen/all.err || fail "$(cat gen/all.err)"
for xml in zrmrdd.xml lift.xml odd.xml gen/gen.xml gen/all.xml; do
    xmllint --noout --schema "$source_dir/tests/junit.xsd" "$xml" || fail "$xml does not fit the schema"
done
[ "$(stat -c %s gen/gen.xml)" -le 300000 ] || fail "gen/gen.xml is $(stat -c %s gen/gen.xml) bytes, above its 300000"
grep -q ' more lines left out (RDD lines ' gen/gen.xml || fail "gen/gen.xml quotes every line of 300 files in 300 kB"

"$python" - <<'EOF' || fail "junitparser does not read what zrmjunit wrote"
from junitparser import JUnitXml, Error, Failure, Skipped

def survey(path):
    suites = []
    for suite in JUnitXml.fromfile(path):
        cases = list(suite)
        count = lambda kind: sum(any(isinstance(r, kind) for r in c.result) for c in cases)
        failed, errors, skipped = count(Failure), count(Error), count(Skipped)
        assert (suite.tests, suite.failures, suite.errors, suite.skipped) == (len(cases), failed, errors, skipped), suite.name
        names = [c.name for c in cases]
        assert len(set(names)) == len(names), (suite.name, "cases with one name")
        suites.append((suite.name, names, failed, errors, skipped))
    return suites

def messages(path):
    return {c.name: r.message for suite in JUnitXml.fromfile(path) for c in suite for r in c.result}

doors = survey("zrmrdd.xml")
assert doors == [("door_open", ["SC_OPEN_01", "SC_OPEN_02"], 1, 0, 0),
                 ("door_lock", ["SC_LOCK_01", "SC_LOCK_02"], 0, 0, 0),
                 ("hall_call", ["SC_HALL_01"], 0, 0, 0)], doors
assert messages("zrmrdd.xml") == {"SC_OPEN_02": "failed in door_open_run2.rod. door: OPEN in door_open_run2.rod "
                                                "(ROD line 28); SHUT in door_open_run1.rod"}, messages("zrmrdd.xml")
assert survey("lift.xml") == [("lift_call", [], 0, 0, 0)], survey("lift.xml")
odd = survey("odd.xml")
assert odd == [("sc\ufffdript <1>", ['A&B<C>"D"\ufffd\ufffd', "tab\there", "\ufffd"], 1, 1, 1)], odd
assert messages("odd.xml")["\ufffd"] == 'unknown verdict "?"', messages("odd.xml")
generated = survey("gen/gen.xml")
assert sum(len(s[1]) for s in generated) > 300 and sum(s[2] for s in generated) > 0, generated
print("junitparser agrees:", doors, odd, [(s[0], len(s[1]), s[2], s[3], s[4]) for s in generated])
EOF
echo "PASSED: xmllint and junitparser read zrmjunit's documents"
