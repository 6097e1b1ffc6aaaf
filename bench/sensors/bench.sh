#!/usr/bin/env bash
# The sensor module's figures, one table row each, from a built tree.
# Usage: BUILD_DIR=/abs/build bench/sensors/bench.sh
set -euo pipefail
if [ -z "${BUILD_DIR:-}" ]; then
    echo "bench.sh: set BUILD_DIR to the absolute build folder" >&2
    exit 2
fi
bin=$BUILD_DIR/bin/sensors_bench
if [ ! -x "$bin" ]; then
    echo "bench.sh: $bin not built (configure with the sensors part)" >&2
    exit 1
fi
exec timeout 120 "$bin"
