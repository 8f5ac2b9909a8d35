#!/usr/bin/env bash
# Records the expected outcome of every case of cases.txt (expected.txt) from
# the program built in BUILD_DIR (default build): exit status, SHA-256 of the
# RDD file and of standard error, and the message lines. Run it only to take
# in a deliberate change of behaviour, and review the difference it makes.
#   tests/corpus/record.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
cmake --build "$BUILD_DIR" --target zovizeve zrmpostpro zrmuml corpus_run
"$BUILD_DIR/tests/corpus_run" "$BUILD_DIR/stage" tests/corpus --record
