#!/usr/bin/env bash
# Builds the fuzz targets with clang++ (libFuzzer, ASan, UBSan) and runs each
# one for the given number of seconds, one after the other.
#   fuzz/run.sh SECONDS [TARGET...]     targets: rod_scan cmdline veriftr engine junit page
# Environment: BUILD_DIR (default build-fuzz), JOBS (build parallelism).
# New inputs are kept in $BUILD_DIR/fuzz/corpus/<target>; the committed seeds
# in fuzz/corpus/<target> are only read. A crash, leak, hang or sanitizer
# report stops the target and leaves its input in $BUILD_DIR/fuzz/findings;
# the script then exits with status 1.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "usage: $0 SECONDS [TARGET...]" >&2
    exit 2
fi
seconds=$1
shift
targets=("$@")
((${#targets[@]})) || targets=(rod_scan cmdline veriftr engine junit page)

BUILD_DIR=${BUILD_DIR:-build-fuzz}
cmake -S . -B "$BUILD_DIR" -G Ninja -DZV_FUZZ=ON -DZV_TESTS=OFF -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" ${JOBS:+-j "$JOBS"} --target "${targets[@]/#/fuzz_}"

declare -A dictionary=([rod_scan]=rod [veriftr]=rod [engine]=rod [cmdline]=cmdline [junit]=rod [page]=rod)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
for target in "${targets[@]}"; do
    corpus="$BUILD_DIR/fuzz/corpus/$target"
    findings="$BUILD_DIR/fuzz/findings/$target"
    mkdir -p "$corpus" "$findings"
    seeds=()
    [ -d "fuzz/corpus/$target" ] && seeds=("fuzz/corpus/$target")
    echo "== $target: ${seconds}s"
    # The program's own messages go to standard error on almost every input;
    # -close_fd_mask=3 silences them, sanitizer reports still get through.
    if ! TMPDIR="$work" ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$BUILD_DIR/fuzz/fuzz_$target" "$corpus" "${seeds[@]}" \
        -dict="fuzz/dict/${dictionary[$target]}.dict" -max_total_time="$seconds" -timeout=20 \
        -rss_limit_mb=2048 -max_len=20000 -close_fd_mask=3 -print_final_stats=1 \
        -artifact_prefix="$findings/" 2>"$BUILD_DIR/fuzz/$target.log"; then
        echo "   FAILED: see $BUILD_DIR/fuzz/$target.log and $findings" >&2
        failed=1
    fi
    grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)|^Done' "$BUILD_DIR/fuzz/$target.log" | sed 's/^/   /' || true
done
exit $failed
