#!/usr/bin/env bash
# The soak's figures (tools/soak) from a short run on the device: strokes typed a second
# and their ratio to the plan's, strokes accounted for, and each long-lived process's
# memory growth an hour, one table row each.
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
k, rates = r.get("strokes") or {}, r.get("rates")
if rates:
    print("soak|strokes typed per s|%.2f|-|-|-|%s; plan %.2f, ratio %.3f; bursts %.1f a second (plan %.1f)"
          % (rates[0], note, rates[1], rates[0] / rates[1] if rates[1] else 0.0, rates[2], rates[3]))
if k:
    accounted = k["typed"] - k["traceless"]
    print("soak|strokes accounted for|%d|-|-|-|%s; of %d the kernel delivered (must be all): "
          "%d forwarded, %d forwarded not offered, %d reported, %d lost in stalls; %d traces without a stroke"
          % (accounted, note, k["typed"], k["forwarded"], k["unoffered"], k["reported"], k["lost"],
             k["untraced reports"]))
for name, rate in sorted(r["growth"].items()):
    if name != "agent":
        print("soak|%s memory growth, kB/hour|%s|-|-|-|after warm-up; %s" % (name, rate.lstrip("+"), note))
PY
