#!/usr/bin/env bash
# Loads the page that zrmuml makes from the example merge in headless
# chromium, takes a screenshot and a DOM dump, and checks the scenario and
# verdict elements. Installs chromium through build.sh when it is missing;
# exits 77 (skipped) when it cannot be had, or fails when CI is set.
#   browser_page_test.sh STAGE SOURCE_DIR
# ZV_PAGE_SCREENSHOT=FILE keeps a copy of the screenshot.
set -uo pipefail
stage=$(cd "${1:?usage: browser_page_test.sh STAGE SOURCE_DIR}" && pwd)
source_dir=$(cd "${2:?usage: browser_page_test.sh STAGE SOURCE_DIR}" && pwd)

source "$(dirname "$0")/test_lib.sh"

if ! command -v chromium >/dev/null; then
    if [ "$(id -u)" -ne 0 ] && ! sudo -n true 2>/dev/null; then
        skip "chromium is not installed and this user cannot install packages"
    fi
    echo "chromium is missing: installing it with build.sh browser"
    "$source_dir/build.sh" browser || skip "chromium could not be installed"
    command -v chromium >/dev/null || skip "chromium could not be installed"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-browser.XXXXXX")
trap 'rm -rf "$work"' EXIT
files=(door_open.tdc door_open_run1.rio door_open_run2.rio
       door_lock.tdc door_lock_run1.rio door_lock_run2.rio emergency_stop.tdc)
for name in "${files[@]}"; do cp "$source_dir/examples/$name" "$work/"; done
(cd "$work" && MOLVEXDIR="$stage" ZRM_DIR="$stage/bin" LANG=C "$stage/bin/zovizeve" "${files[@]}") \
    >"$work/run.log" 2>&1
status=$?
[ "$status" -eq 3 ] || { cat "$work/run.log"; fail "zovizeve ended with $status, expected 3"; }
page="$work/zrmrdd.html"
[ -s "$page" ] || fail "no page $page"

browser=(chromium --headless --no-sandbox --disable-gpu --disable-background-networking
         --disable-component-update --no-first-run --hide-scrollbars --window-size=1200,1000)
timeout 120 "${browser[@]}" --user-data-dir="$work/profile1" --dump-dom "file://$page" >"$work/dom.html" 2>"$work/browser.log" \
    || { cat "$work/browser.log"; fail "chromium could not dump the page"; }
timeout 120 "${browser[@]}" --user-data-dir="$work/profile2" --screenshot="$work/page.png" "file://$page" \
    >>"$work/browser.log" 2>&1 || { cat "$work/browser.log"; fail "chromium could not take a screenshot"; }

checks=0
expect() {
    checks=$((checks + 1))
    grep -qF -- "$1" "$work/dom.html" || fail "the rendered page has no $1"
}
expect '<span id="plan">DOORS</span>'
expect 'id="count-scenarios"><b>4</b>'
expect 'id="count-failed"><b>1</b>'
expect 'data-scenario="SC_OPEN_02" data-verdict="failed"'
for scenario in SC_OPEN_01 SC_LOCK_01 SC_LOCK_02; do
    expect "data-scenario=\"$scenario\" data-verdict=\"passed\""
done
expect '<span class="badge failed">failed</span>'
expect '<rect class="sc failed"'
expect '<rect class="inst"'
expect '#4 door_lock_run2.rod'
[ "$(head -c 8 "$work/page.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "the screenshot is not a PNG"
[ -n "${ZV_PAGE_SCREENSHOT:-}" ] && cp "$work/page.png" "$ZV_PAGE_SCREENSHOT"
echo "browser page: $checks checks on the DOM, screenshot $(stat -c %s "$work/page.png") bytes"
