#!/usr/bin/env bash
# The sensor module on Debian's kernel under qemu: the host types the four
# arrows and Escape into the emulated keyboard; the guest shows the reports of
# the monitor and what arrives on the virtual button device.
set -euo pipefail
: "${BUILD_DIR:?BUILD_DIR must name the build folder}"
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
for f in bin/sensormon bin/evprobe lib/sensors.vardel.so; do
    if [ ! -e "$BUILD_DIR/$f" ]; then
        echo "vm demo: $BUILD_DIR/$f is not built; nothing to show" >&2
        exit 1
    fi
done

export PYTHONPATH="$ROOT/tools/vm${PYTHONPATH:+:$PYTHONPATH}"
exec python3 - "$BUILD_DIR" <<'PY'
import sys, time
import vm

GUEST = r"""
export ANDROID_LOG_TAGS='*:i'
sensormon &
mon=$!
n=0
until grep -q 'Name="Zaze V2 Buttons"' /proc/bus/input/devices; do
    n=$((n+1)); [ $n -gt 300 ] && { echo "no virtual device"; exit 1; }
    sleep 0.1
done
evprobe watch "Zaze V2 Buttons" 60000 &
probe=$!
read line < /dev/console
kill -INT $mon; wait $mon; echo "sensormon exited $?"
wait $probe
"""

def say(text):
    print("host: " + text, flush=True)

try:
    t0 = time.monotonic()
    with vm.VM(sys.argv[1], GUEST, timeout=120, prefix="guest| ") as g:
        g.expect(r"^activated 0$", 60)
        g.expect(r"^watching ", 20, since=0)
        say("booted and waiting for keys after %.1f s" % (time.monotonic() - t0))
        for qcode, deg in (("down", 180), ("right", 90), ("left", 270), ("up", 0)):
            say("press and release %s" % qcode)
            g.qmp.press(qcode)
            g.expect(r"^report rotation=%d " % deg, 10)
            g.expect(r"^report rotation=%d " % deg, 10)
        say("press and release esc (goes on to the virtual device)")
        g.qmp.press("esc")
        g.expect(r"^event type=1 code=1 value=0$", 10)
        g.send_line("stop")
        status = g.wait(30)
    say("guest finished with status %d after %.1f s" % (status, time.monotonic() - t0))
    sys.exit(0 if status == 0 else 1)
except vm.VMSkip as e:
    say("skipped, cannot run here: %s" % e)
except vm.VMError as e:
    say("failed: %s" % e)
    sys.exit(1)
PY
