#!/usr/bin/env bash
# The sensor module on this machine: the monitor loads it and shows its header
# and sensor list. Key events need the real kernel (the VM runs).
set -euo pipefail
: "${BUILD_DIR:?BUILD_DIR must name the build folder}"
mon="$BUILD_DIR/bin/sensormon"

echo "\$ sensormon -d $BUILD_DIR/lib   (stopped with SIGINT after 1 s)"
# No keyboard or uinput here: the module logs that, and the monitor waits for
# the signal. The module's log (stderr) is shown in line with the output.
"$mon" -d "$BUILD_DIR/lib" 2>&1 &
pid=$!
sleep 1
kill -INT "$pid"
status=0
for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    echo "sensormon did not stop on SIGINT" >&2
    wait "$pid" || true
    exit 1
fi
wait "$pid" || status=$?
echo "exit status: $status"
[ "$status" -eq 0 ]

echo
echo "\$ sensormon -v missing   (a loader failure)"
status=0
"$mon" -v missing 2>&1 || status=$?
echo "exit status: $status"
[ "$status" -eq 1 ]
