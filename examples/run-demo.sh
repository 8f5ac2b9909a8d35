#!/usr/bin/env bash
# Runs zovizeve from a staged or installed tree ($1) on the example test
# plans, in a scratch copy so that the ROD and RDD files stay out of the
# sources:
#   1. DOORS (door_open, door_lock, emergency_stop) with hall_call, whose
#      runs were recorded on two clocks and two time units;
#   2. lift_call merged with -TIME (items of both runs in time order).
# Each report also gets its page and its JUnit XML file (zrmjunit).
# Exits 0 when both merges wrote their report (zovizeve status 0 or 3) and
# its JUnit file.
set -uo pipefail
prefix=$(cd "${1:?usage: run-demo.sh PREFIX}" && pwd)
examples=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/zovizeve-demo.XXXXXX")
cp "$examples"/*.tdc "$examples"/*.rio "$work"/
cd "$work"
export MOLVEXDIR="$prefix" ZRM_DIR="$prefix/bin"

result=0
merge() {
    echo "\$ zovizeve $*"
    "$prefix/bin/zovizeve" "$@"
    local status=$?
    echo "exit status: $status"
    case $status in
        0 | 3) ;;
        *) result=1 ;;
    esac
}

show() {
    local rdd=$1 page=${1%.rdd}.html
    [ -s "$rdd" ] || return
    echo "--- $work/$rdd: $(wc -l <"$rdd") lines; the first 12:"
    head -n 12 "$rdd"
    [ -s "$page" ] && echo "--- page: $work/$page (open it in a browser)"
    local junit=${1%.rdd}.xml
    if "$prefix/bin/zrmjunit" "$rdd" -o "$junit"; then
        echo "--- JUnit XML for a CI server: $work/$junit"
    else
        result=1
    fi
}

echo "\$ cd $work"
merge door_open.tdc door_open_run1.rio door_open_run2.rio \
      door_lock.tdc door_lock_run1.rio door_lock_run2.rio emergency_stop.tdc \
      hall_call.tdc hall_call_car.rio hall_call_shaft.rio hall_call_landing.rio
show zrmrdd.rdd
echo
merge -TIME -RDD=lift_time.rdd lift_call.tdc lift_call_panel.rio lift_call_drive.rio
show lift_time.rdd
exit $result
