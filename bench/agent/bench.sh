#!/usr/bin/env bash
# The agent's figures, one table row each, from a built tree.
# Usage: BUILD_DIR=/abs/build bench/agent/bench.sh
set -euo pipefail
if [ -z "${BUILD_DIR:-}" ]; then
    echo "bench.sh: set BUILD_DIR to the absolute build folder" >&2
    exit 2
fi
bin=$BUILD_DIR/bin/agent_bench
if [ ! -x "$bin" ]; then
    echo "bench.sh: $bin not built (configure with the agent part)" >&2
    exit 1
fi
exec timeout 600 "$bin"
