#!/usr/bin/env python3
"""The device: one boot of the armhf build with the three deliverables at their platform
paths, run by the shell user at the device's console while the host types keys."""
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "vm"))
import vm  # found through the path above

# The console's commands, as the shell user; the sensor service's log follows while
# the host types (its debug lines are left out here: `cat /data/log/sensors.log` has them).
GUEST = r"""
say() { echo; echo "$(hostname):$PWD \$ $*"; }  # the console's own prompt
say id; id
say agent 0000; timeout -s KILL 30 agent 0000; echo "(exit status $?)"
say "cat /data/log/btdaemon.log   # the daemon's side"; cat /data/log/btdaemon.log
say service list; service list
say service call echo 1 i32 7; service call echo 1 i32 7
say "tail -f /data/log/sensors.log & evprobe watch 'Zaze V2 Buttons' 60000"
tail -n 0 -f /data/log/sensors.log & tl=$!
evprobe watch "Zaze V2 Buttons" 60000 & ev=$!
read line  # the host says when it is done, on the console
kill $ev $tl; wait $ev $tl 2>/dev/null
exit 0
"""


class Shown:
    def write(self, text):
        line = text.rstrip("\n")
        if " D " not in line[:13] and line != vm.READY_LINE and not vm.EXIT_LINE.match(line):
            sys.stdout.write("device| " + text)

    def flush(self):
        sys.stdout.flush()


def say(text):
    print("host: " + text, flush=True)


def main():
    armhf = os.path.join(ROOT, "build-armhf")
    if not os.access(os.path.join(armhf, "bin", "agent"), os.X_OK):
        print("device demo: no armhf build in %s; './dev build --arch armhf' makes one" % armhf, flush=True)
        return 0
    try:
        t0 = time.monotonic()
        with vm.Device(armhf, GUEST, timeout=180, echo=Shown(), prefix="") as g:
            g.expect(r"^watching ", 120)
            say("booted, shown the agent and the registry; now typing (%.1f s)" % (time.monotonic() - t0))
            for key, deg in (("down", 180), ("right", 90), ("left", 270), ("up", 0)):
                say("types %s (as ./dev device --keys %s would)" % (key, key))
                g.type_keys([key])
                g.expect(r"^report rotation=%d " % deg, 15)
            say("types esc (goes on to Zaze V2 Buttons)")
            g.type_keys(["esc"])
            g.expect(r"^event type=1 code=1 value=0$", 15)
            g.send_line("stop")
            status = g.wait(60)
        say("the device is off, status %d, after %.1f s" % (status, time.monotonic() - t0))
        return 0 if status == 0 else 1
    except vm.VMSkip as e:
        say("skipped, cannot run here: %s" % e)
        return vm.SKIP
    except vm.VMError as e:
        say("failed: %s" % e)
        return 1


if __name__ == "__main__":
    sys.exit(main())
