#!/usr/bin/env bash
# The registry client's figures, one table row each, from a built tree: boots
# the real-kernel bench once (tools/vm) and times `service list` there.
# Usage: BUILD_DIR=/abs/build bench/service/bench.sh
set -euo pipefail
if [ -z "${BUILD_DIR:-}" ]; then
    echo "bench.sh: set BUILD_DIR to the absolute build folder" >&2
    exit 2
fi
# The bench's library and the guest helpers that the service VM tests share.
root=$(cd "$(dirname "$0")/../.." && pwd)
export PYTHONPATH="$root/tools/vm:$root/tests/vm${PYTHONPATH:+:$PYTHONPATH}"
exec timeout 600 python3 "$(dirname "$0")/bench_list.py" "$BUILD_DIR"
