#!/bin/sh
# The deliverable on a host without /dev/binder: every command gets the one
# line and status 20.
# Usage: no_driver.sh [RUNNER] SERVICE (RUNNER: an emulator for cross builds)
if [ -e /dev/binder ]; then
    echo "skip: /dev/binder exists here"
    exit 77
fi
want='service: Unable to get default service manager!'
fail=0
out_file=$(mktemp) || exit 1
for args in "" "-h" "-x" "list" "check echo" "call echo 1 i32 5" "CHECK" "-"; do
    # shellcheck disable=SC2086 # each case is its words
    err=$(timeout 10 "$@" $args 2>&1 >"$out_file")
    status=$?
    out=$(cat "$out_file")
    if [ "$status" -ne 20 ] || [ "$err" != "$want" ] || [ -n "$out" ]; then
        echo "FAIL: service $args: status $status, stderr '$err', stdout '$out'"
        fail=1
    fi
done
rm -f "$out_file"
[ $fail -eq 0 ] && echo "ok: every command gave status 20"
exit $fail
