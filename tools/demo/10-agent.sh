#!/usr/bin/env bash
# The pairing agent at work: a private bus, the simulated Bluetooth daemon and the agent, with
# both sides of their conversation labelled. Nothing is left running.
set -euo pipefail

BUILD_DIR=${BUILD_DIR:?BUILD_DIR must name the build folder}
work=$(mktemp -d)
pids=()

cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Waits up to $2 seconds for file $1 to hold a line matching $3.
wait_for() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        grep -q -- "$3" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    echo "demo: timed out waiting for '$3' in $(basename "$1")" >&2
    return 1
}

cat >"$work/bus.conf" <<CONF
<busconfig>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF

dbus-daemon --config-file="$work/bus.conf" --print-address=1 --nofork >"$work/address" 2>/dev/null &
pids+=($!)
wait_for "$work/address" 10 unix:
DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$work/address")
export DBUS_SYSTEM_BUS_ADDRESS
echo "private system bus: $DBUS_SYSTEM_BUS_ADDRESS"

"$BUILD_DIR/bin/btdaemon" >"$work/daemon" 2>&1 &
pids+=($!)
wait_for "$work/daemon" 10 '^owner org.velto'

echo "agent: $BUILD_DIR/bin/agent 0123"
"$BUILD_DIR/bin/agent" 0123 >"$work/agent" 2>&1 &
agent_pid=$!
pids+=("$agent_pid")
# The daemon ends the conversation with Release, which ends the agent.
wait_for "$work/daemon" 20 '^reply Release'
status=0
wait "$agent_pid" || status=$?

echo "-- daemon side (requests it got, calls it made, answers it got) --"
sed 's/^/daemon | /' "$work/daemon"
echo "-- agent side (its standard output and error) --"
sed 's/^/agent  | /' "$work/agent"
echo "agent exit status: $status"
[ "$status" -eq 0 ]
