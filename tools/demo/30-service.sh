#!/usr/bin/env bash
# The registry client: on this host (no /dev/binder) every command ends with
# status 20; on Debian's kernel under qemu, servicemanager and the sample
# services answer list, check and a call with each item type.
set -euo pipefail
: "${BUILD_DIR:?BUILD_DIR must name the build folder}"
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
for f in bin/service bin/servicemanager bin/binder-samples; do
    if [ ! -e "$BUILD_DIR/$f" ]; then
        echo "service demo: $BUILD_DIR/$f is not built; nothing to show" >&2
        exit 1
    fi
done

echo "\$ service list   (this host has no /dev/binder)"
status=0
"$BUILD_DIR/bin/service" list 2>&1 || status=$?
echo "exit status: $status"
[ "$status" -eq 20 ]

# shellcheck disable=SC2016 # the guest's shell expands it
GUEST='
servicemanager &
sleep 0.5
binder-samples &
sleep 0.5
for cmd in "list" "check echo" "check nothere" \
           "call echo 1 i32 42 s16 hello null" \
           "call echo 2 intent action=VIEW data=content://x launchFlags=16" \
           "call mute 1"; do
    echo "\$ service $cmd"
    service $cmd 2>&1
    echo "exit status: $?"
done
'
echo
echo "On Debian's kernel under qemu (/dev/binder):"
status=0
PYTHONPATH="$ROOT/tools/vm${PYTHONPATH:+:$PYTHONPATH}" \
    python3 -m vm run -b "$BUILD_DIR" -t 120 -- "$GUEST" || status=$?
if [ "$status" -eq 77 ]; then
    echo "service demo: the real-kernel half did not run (the vm: line above says why)"
fi
exit "$status"
