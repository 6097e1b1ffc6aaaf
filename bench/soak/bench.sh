#!/usr/bin/env bash
# The soak's figures (tools/soak) from a short run on the device: strokes delivered a
# second and each long-lived process's memory growth an hour, one table row each.
# Usage: BUILD_DIR=/abs/build bench/soak/bench.sh   (SOAK_MINUTES, default 3)
set -euo pipefail
if [ -z "${BUILD_DIR:-}" ]; then
    echo "bench.sh: set BUILD_DIR to the absolute build folder" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
armhf=$root/build-armhf
minutes=${SOAK_MINUTES:-3}
seed=1
if [ ! -x "$armhf/bin/agent" ]; then
    echo "soak|skipped|-|-|-|-|no armhf build (./dev build --arch armhf)"
    exit 0
fi
out=$armhf/soak/bench
export PYTHONPATH="$root/tools/vm:$root/tools/soak${PYTHONPATH:+:$PYTHONPATH}"
# The soak's own lines go to the log; a failed soak still gives its figures, marked.
timeout $((minutes * 120 + 600)) python3 -m soak --minutes "$minutes" --seed $seed \
    --build-dir "$armhf" --out "$out" >&2 || true
python3 - "$out/soak-$seed.json" <<'PY'
import json, sys
try:
    r = json.load(open(sys.argv[1]))
except OSError:
    print("soak|skipped|-|-|-|-|no result (see the log above)")
    sys.exit(0)
note = "seed %d, %g min" % (r["seed"], r["minutes"]) + ("; FAILED: %s" % r["failure"] if r["failure"] else "")
k = r["counts"]["keys"]
if r["seconds"]:
    print("soak|delivered strokes per s|%.2f|-|-|-|%s; %d typed, %d during stalls, %d lost there"
          % (k["delivered"] / r["seconds"], note, k["typed"], k["stalled"], k["lost"]))
for name, rate in sorted(r["growth"].items()):
    if name != "agent":
        print("soak|%s memory growth, kB/hour|%s|-|-|-|after warm-up; %s" % (name, rate.lstrip("+"), note))
PY
