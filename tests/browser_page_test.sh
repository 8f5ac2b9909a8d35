#!/usr/bin/env bash
# Drives the page that zrmuml makes in headless chromium (chromium-driver,
# python3-selenium): of the example merge (also once its page was made
# again without one of its ROD files), of its door_lock runs alone (all
# passed), of a generated merge of a few hundred files and of a -TIME
# merge. Installs the browser packages through build.sh when they are
# missing; exits 77 (skipped) when they cannot be had, or fails when CI is
# set.
#   browser_page_test.sh STAGE SOURCE_DIR ZVGEN
# ZVGEN is the benchmark's input generator. The merges and the screenshots
# stay in ./browser_page (under the current directory) until the next run;
# ZV_SCREENSHOT_DIR=DIR copies the screenshots there too.
set -uo pipefail
usage="usage: browser_page_test.sh STAGE SOURCE_DIR ZVGEN"
stage=$(cd "${1:?$usage}" && pwd)
source_dir=$(cd "${2:?$usage}" && pwd)
zvgen=${3:-}

source "$(dirname "$0")/test_lib.sh"

# Debian's python3-selenium belongs to the system's python, whatever python3 the PATH finds first.
python=/usr/bin/python3
have_browser() {
    command -v chromium >/dev/null && command -v chromedriver >/dev/null &&
        "$python" -c 'import selenium' 2>/dev/null
}
if ! have_browser; then
    if [ "$(id -u)" -ne 0 ] && ! sudo -n true 2>/dev/null; then
        skip "the browser packages are not installed and this user cannot install packages"
    fi
    echo "the browser packages are missing: installing them with build.sh browser"
    "$source_dir/build.sh" browser || skip "the browser packages could not be installed"
    have_browser || skip "the browser packages could not be installed"
fi
[ -n "$zvgen" ] || fail "$usage"
[ -x "$zvgen" ] || fail "no input generator $zvgen"

work="$PWD/browser_page"
rm -rf "$work"
mkdir -p "$work/example" "$work/missing" "$work/passed" "$work/time" "$work/generated" || fail "cannot make $work"

# merge DIR STATUS PAGE ARGS...: runs zovizeve in DIR, expecting STATUS and DIR/PAGE.
merge() {
    local dir=$1 expected=$2 page=$3 status
    shift 3
    (cd "$dir" && MOLVEXDIR="$stage" ZRM_DIR="$stage/bin" LANG=C "$stage/bin/zovizeve" "$@") >"$dir/run.log" 2>&1
    status=$?
    [ "$status" -eq "$expected" ] || { cat "$dir/run.log"; fail "zovizeve in $dir ended with $status, expected $expected"; }
    [ -s "$dir/$page" ] || { cat "$dir/run.log"; fail "zovizeve made no page $dir/$page"; }
}

example=(door_open.tdc door_open_run1.rio door_open_run2.rio
         door_lock.tdc door_lock_run1.rio door_lock_run2.rio emergency_stop.tdc)
timed=(lift_call.tdc lift_call_drive.rio lift_call_panel.rio)
passed=(door_lock.tdc door_lock_run1.rio door_lock_run2.rio)
for name in "${example[@]}"; do
    cp "$source_dir/examples/$name" "$work/example/" && cp "$source_dir/examples/$name" "$work/missing/"
done
for name in "${timed[@]}"; do cp "$source_dir/examples/$name" "$work/time/"; done
for name in "${passed[@]}"; do cp "$source_dir/examples/$name" "$work/passed/"; done
merge "$work/example" 3 zrmrdd.html "${example[@]}"
merge "$work/time" 0 zrmrdd.html -TIME "${timed[@]}"
merge "$work/passed" 0 zrmrdd.html "${passed[@]}"
# The example once more, its page made again after a ROD file went away.
merge "$work/missing" 3 zrmrdd.html "${example[@]}"
rm "$work/missing/door_open_run2.rod"
"$stage/bin/zrmuml" -path "$work/missing" -name zrmrdd.rdd -nobanner >>"$work/missing/run.log" 2>&1 ||
    { cat "$work/missing/run.log"; fail "zrmuml could not make the page again"; }
# Files of this size are drawn partly by exact marks, mostly by time bins.
"$zvgen" "$work/generated" a 300 130000 >/dev/null || fail "zvgen could not make the generated set"
merge "$work/generated" 3 merged.html -RDD=merged.rdd campaign.tdc $(cd "$work/generated" && ls campaign_*.rio)
# The page is all that the browser needs of the generated set.
rm -f "$work"/generated/*.rio "$work"/generated/*.rod "$work"/generated/*.rdd

exec "$python" "$(dirname "$0")/browser_page_test.py" "$work"
