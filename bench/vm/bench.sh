#!/usr/bin/env bash
# The device's figures, one table row each, from the project's armhf build
# (device_bench.py: two boots, the device and the plain armhf guest for the baseline;
# session_bench.py: a started device, a bare guest with the agent, and a reboot).
# Usage: BUILD_DIR=/abs/build bench/vm/bench.sh
set -euo pipefail
if [ -z "${BUILD_DIR:-}" ]; then
    echo "bench.sh: set BUILD_DIR to the absolute build folder" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
# The device is the armhf build, whichever build the other rows come from.
armhf=$root/build-armhf
if [ ! -x "$armhf/bin/agent" ]; then
    echo "device|skipped|-|-|-|-|no armhf build (./dev build --arch armhf)"
    exit 0
fi
export PYTHONPATH="$root/tools/vm${PYTHONPATH:+:$PYTHONPATH}"
timeout 600 python3 "$(dirname "$0")/device_bench.py" "$armhf"
exec timeout 900 python3 "$(dirname "$0")/session_bench.py" "$armhf"
