#!/usr/bin/env bash
# Runs zovizeve from a staged or installed tree ($1) on the example test plan
# DOORS, in a scratch copy so that the ROD and RDD files stay out of the
# sources. Exits with zovizeve's status (3: a scenario failed in a run).
set -uo pipefail
prefix=$(cd "${1:?usage: run-demo.sh PREFIX}" && pwd)
examples=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zovizeve-demo.XXXXXX")
cp "$examples"/*.tdc "$examples"/*.rio "$work"/
cd "$work"
export MOLVEXDIR="$prefix" ZRM_DIR="$prefix/bin"
files=(door_open.tdc door_open_run1.rio door_open_run2.rio
       door_lock.tdc door_lock_run1.rio door_lock_run2.rio emergency_stop.tdc
       hall_call.tdc hall_call_car.rio hall_call_shaft.rio hall_call_landing.rio)
echo "\$ cd $work"
echo "\$ zovizeve ${files[*]}"
"$prefix/bin/zovizeve" "${files[@]}"
status=$?
echo "exit status: $status"
if [ -s zrmrdd.rdd ]; then
    echo "--- zrmrdd.rdd"
    cat zrmrdd.rdd
fi
# The stand-in UML tool renders the merged report as a page beside it.
if [ -s zrmrdd.html ]; then
    echo "--- page: $work/zrmrdd.html (open it in a browser)"
fi
exit $status
