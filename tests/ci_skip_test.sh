#!/usr/bin/env bash
# The tests of real readers skip (status 77) only outside CI: with CI set, a
# browser or JUnit reader that cannot be had fails them, so that CI cannot
# pass without checking. Each runs with a PATH that holds neither reader
# nor a way to install one.
#   ci_skip_test.sh SOURCE_DIR STAGE
set -uo pipefail
source_dir=$(cd "${1:?usage: ci_skip_test.sh SOURCE_DIR STAGE}" && pwd)
stage=$(cd "${2:?usage: ci_skip_test.sh SOURCE_DIR STAGE}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zv-ci-skip.XXXXXX")
trap 'rm -rf "$work"' EXIT

source "$(dirname "$0")/test_lib.sh"

mkdir "$work/bin"
for tool in bash dirname dpkg-query grep id; do
    ln -s "$(command -v "$tool")" "$work/bin/$tool"
done
for script in browser_page_test.sh junit_readers_test.sh; do
    for ci in "" true; do
        env -i PATH="$work/bin" HOME="$work" ${ci:+CI=$ci} /bin/bash "$source_dir/tests/$script" "$stage" \
            "$source_dir" >"$work/out" 2>&1
        status=$?
        expected=77
        [ -n "$ci" ] && expected=1
        [ "$status" -eq "$expected" ] || { cat "$work/out"; fail "$script with CI=$ci: status $status, not $expected"; }
    done
done
echo "PASSED: the reader tests skip outside CI and fail under CI"
