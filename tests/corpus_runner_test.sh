#!/usr/bin/env bash
# The corpus runner fails rather than passing without checking: when
# cases.txt cannot be read or holds no case, when expected.txt keeps a
# record whose case is gone, and when a case runs past its time limit.
#   corpus_runner_test.sh CORPUS_RUN STAGE
set -uo pipefail
runner=${1:?usage: corpus_runner_test.sh CORPUS_RUN STAGE}
stage=${2:?usage: corpus_runner_test.sh CORPUS_RUN STAGE}
work=$(mktemp -d "${TMPDIR:-/tmp}/zv-corpus-runner.XXXXXX")
trap 'rm -rf "$work"' EXIT

source "$(dirname "$0")/test_lib.sh"
# expect_failure WHAT TEXT CORPUS [OPTIONS...]: --check ends with 1 and says TEXT.
expect_failure() {
    local what=$1 text=$2 corpus=$3
    shift 3
    "$runner" "$stage" "$corpus" --check "$@" >"$work/out" 2>&1
    local status=$?
    [ "$status" -eq 1 ] || { cat "$work/out"; fail "$what: status $status, expected 1"; }
    grep -qF -- "$text" "$work/out" || { cat "$work/out"; fail "$what: no \"$text\""; }
}

mkdir "$work/corpus"
expect_failure "no cases.txt" "cannot read" "$work/corpus"
: >"$work/corpus/cases.txt"
expect_failure "empty cases.txt" "no case in" "$work/corpus"

echo "gen tiny files=2 bytes=300000" >"$work/corpus/cases.txt"
"$runner" "$stage" "$work/corpus" --record >/dev/null || fail "cannot record"
"$runner" "$stage" "$work/corpus" --check >/dev/null || fail "the recorded corpus does not check"
expect_failure "slow case" "TIMED OUT: tiny" "$work/corpus" --time-limit-ms 1
printf '== gone\nstatus 0\n' >>"$work/corpus/expected.txt"
expect_failure "record without its case" "NO CASE: gone" "$work/corpus"
echo "PASSED: the corpus runner fails on every way of checking nothing"
