#!/usr/bin/env python3
"""The keyboard unbound while the monitor waits in the module: one log line, no spinning."""
from vmtest import check, run, vm

# The monitor waits on the keyboard; the removal comes on the host's cue.
GUEST_START = r"""
export ANDROID_LOG_TAGS='*:v'
sensormon -n 50 &
mon=$!
read line < /dev/console
"""

# After the removal: the monitor's processor time over 3 s, then a clean stop.
GUEST_END = r"""
sleep 1
a=$(cut -d' ' -f14,15 /proc/$mon/stat)
sleep 3
b=$(cut -d' ' -f14,15 /proc/$mon/stat)
echo "cpu ticks before $a after $b"
kill -0 $mon && echo "monitor still waiting"
kill -TERM $mon
wait $mon
echo "monitor exited $?"
"""

GUEST = GUEST_START + r"""
port=$(basename $(ls -d /sys/bus/serio/drivers/atkbd/serio* | head -n 1))
echo $port > /sys/bus/serio/drivers/atkbd/unbind && echo "keyboard unbound"
""" + GUEST_END


def before_removal(g):
    g.expect(r'^module id=sensors name="Kbd Orientation Sensor" author="Brannoc" version=2\.3$', 60)
    g.expect(r"^activated 0$", 20)
    g.qmp.press("down")
    g.expect(r"^report rotation=180 x=0\.000000 y=9\.772881 z=-0\.813139 t=\d+$", 10)


def after_removal(g):
    m = g.expect(r"^cpu ticks before (\d+) (\d+) after (\d+) (\d+)$", 30)
    before = int(m.group(1)) + int(m.group(2))
    after = int(m.group(3)) + int(m.group(4))
    # 3 s are 300 ticks; a spinning wait would take nearly all of them.
    check(after - before <= 10, "monitor used %d ticks in 3 s after the keyboard left"
          % (after - before))
    gone = g.matching(r"keyboard fd=\d+ gone", 0)
    check(len(gone) == 1, "keyboard-gone lines: %d" % len(gone))
    g.expect(r"^monitor still waiting$", 10)
    g.expect(r"^closed$", 20)
    g.expect(r"^monitor exited 0$", 10)
    check(g.wait(30) == 0, "guest status %r" % g.status)


def body(build_dir):
    with vm.VM(build_dir, GUEST, timeout=150) as g:
        before_removal(g)
        g.send_line("unbind")
        g.expect(r"^keyboard unbound$", 20)
        after_removal(g)


if __name__ == "__main__":
    run(body)
