#!/bin/sh
# The shell helpers of tools/lib/box.sh, driving the configuration's
# executable (first argument) in boxes.
set -u
exe=$1
cd "$(dirname "$0")/../.." || exit 1
. tools/lib/box.sh
passed=0
failed=0

# check NAME EXPECTED ACTUAL
check() {
    if [ "$2" = "$3" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL %s: expected [%s], got [%s]\n' "$1" "$2" "$3"
    fi
}

box=$(box_new --board KX7 2>/dev/null) || { echo "box_new failed"; exit 1; }
trap 'box_rm "$box"' EXIT

box_run "$box" "$exe" led -s 1
check "led status" 10 $?
check "led trigger" default-on "$(box_read "$box" /sys/class/leds/power/trigger)"
check "cpuinfo" "Hardware	: OMAP4 KX7 board" "$(box_run "$box" grep ^Hardware /proc/cpuinfo)"
check "zui log" "zui -c progress -f 10" "$(box_run "$box" /bin/zui -c progress -f 10; box_log "$box")"

box_start "$box"
check "start" 0 $?
box_exec "$box" sh -c 'echo kept > /tmp/kept'
check "exec keeps files" kept "$(box_exec "$box" cat /tmp/kept)"
box_stop "$box"
check "stop" 0 $?
check "stopped" "" "$(ls "$box/box/run/state" 2>/dev/null)"

box_rm "$box"
check "removed" "" "$(ls -d "$box" 2>/dev/null)"
trap - EXIT

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
