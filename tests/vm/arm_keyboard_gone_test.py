#!/usr/bin/env python3
"""vkeyboard destroys its device while the monitor waits in the module: one log
line, no spinning."""
import guestkbd
from vmtest import check, run

GUEST = r"""
export ANDROID_LOG_TAGS='*:v'
sensormon -n 50 &
mon=$!
read line < /dev/console
wait $kbd
echo "keyboard destroyed"
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


def body(build_dir):
    with guestkbd.KeyboardVM(build_dir, GUEST, timeout=150, arch="armhf") as g:
        g.expect(r'^module id=sensors name="Kbd Orientation Sensor" author="Brannoc" version=2\.3$', 60)
        g.expect(r"^activated 0$", 20)
        g.qmp.press("down")
        g.expect(r"^report rotation=180 x=0\.000000 y=9\.772881 z=-0\.813139 t=\d+$", 10)

        g.send_line("k quit")
        g.send_line("go")
        g.expect(r"^keyboard destroyed$", 20)
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


run(body)
