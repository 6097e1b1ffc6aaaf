#!/usr/bin/env python3
"""The sensor module on Debian's kernel under qemu: the host types the four arrows and Escape
into the emulated keyboard; the guest shows the reports of the monitor and what arrives on
the virtual button device."""
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "vm"))
import vm  # found through the path above

GUEST = vm.GUEST_HELPERS + r"""
export ANDROID_LOG_TAGS='*:i'
sensormon &
mon=$!
upto /proc/bus/input/devices 'Name="Zaze V2 Buttons"' "" 600 || { echo "no virtual device"; exit 1; }
evprobe watch "Zaze V2 Buttons" 60000 &
probe=$!
read line < /dev/console
kill -INT $mon; wait $mon; echo "sensormon exited $?"
wait $probe
"""


def say(text):
    print("host: " + text, flush=True)


def main():
    build_dir = os.environ.get("BUILD_DIR")
    if not build_dir:
        print("vm demo: BUILD_DIR must name the build folder", file=sys.stderr)
        return 1
    for f in ("bin/sensormon", "bin/evprobe", "lib/sensors.vardel.so"):
        if not os.path.exists(os.path.join(build_dir, f)):
            print("vm demo: %s/%s is not built; nothing to show" % (build_dir, f), file=sys.stderr)
            return 1
    try:
        t0 = time.monotonic()
        with vm.VM(build_dir, GUEST, timeout=120, prefix="guest| ") as g:
            g.expect(r"^activated 0$", 60)
            g.expect(r"^watching ", 20, since=0)
            say("booted and waiting for keys after %.1f s" % (time.monotonic() - t0))
            for qcode, deg in (("down", 180), ("right", 90), ("left", 270), ("up", 0)):
                say("press and release %s" % qcode)
                g.keyboard.press(qcode)
                g.expect(r"^report rotation=%d " % deg, 10)
                g.expect(r"^report rotation=%d " % deg, 10)
            say("press and release esc (goes on to the virtual device)")
            g.keyboard.press("esc")
            g.expect(r"^event type=1 code=1 value=0$", 10)
            g.send_line("stop")
            status = g.wait(30)
        say("guest finished with status %d after %.1f s" % (status, time.monotonic() - t0))
        return 0 if status == 0 else 1
    except vm.VMSkip as e:
        say("skipped, cannot run here: %s" % e)
        return vm.SKIP
    except vm.VMError as e:
        say("failed: %s" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main())
