#!/usr/bin/env bash
# Runs zovizeve from a staged or installed tree ($1) on the example files.
set -uo pipefail
prefix=$(cd "${1:?usage: run-demo.sh PREFIX}" && pwd)
cd "$(dirname "$0")"
export MOLVEXDIR="$prefix" ZRM_DIR="$prefix/bin"
echo "\$ zovizeve (no example files yet)"
"$prefix/bin/zovizeve"
status=$?
echo "exit status: $status"
exit $status
