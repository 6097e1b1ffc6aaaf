#!/usr/bin/env python3
"""The keyboard unbound while the monitor waits in the module: one log line, no spinning.
Then, with the keyboard back, Esc held and the monitor stopped, the keyboard unbound
again: the module, continued, releases Esc on the virtual device itself."""
from vmtest import check, run, vm

# The monitor waits on the keyboard; the removal comes on the host's cue.
GUEST_START = vm.GUEST_HELPERS + r"""
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

# A second monitor, stopped and continued on the host's cue; the keyboard goes
# in between (REMOVE). KEYBOARD brings a keyboard back first.
GUEST_BUSY = r"""
%(keyboard)s
upto /proc/bus/input/devices 'Name="AT Translated Set 2 keyboard"' || { echo "no keyboard back"; exit 1; }
sensormon &
mon=$!
upto /proc/bus/input/devices 'Name="Zaze V2 Buttons"' "" 600 || { echo "no virtual device"; kill $mon; exit 1; }
evprobe watch "Zaze V2 Buttons" 60000 &
probe=$!
exec 5< /dev/console
read -r line <&5; kill -STOP $mon && echo "monitor stopped"
%(remove)s
read -r line <&5; kill -CONT $mon && echo "monitor continued"
read -r line <&5; kill -TERM $mon; wait $mon; echo "monitor exited $?"
wait $probe
"""

UNBIND = r"""
echo $port > /sys/bus/serio/drivers/atkbd/unbind && echo "keyboard unbound"
"""

GUEST = GUEST_START + r"""
port=$(basename $(ls -d /sys/bus/serio/drivers/atkbd/serio* | head -n 1))
""" + UNBIND + GUEST_END + GUEST_BUSY % {
    "keyboard": "echo $port > /sys/bus/serio/drivers/atkbd/bind",
    "remove": "read -r line <&5" + UNBIND}


def before_removal(g):
    g.expect(r'^module id=sensors name="Kbd Orientation Sensor" author="Brannoc" version=2\.3$', 60)
    g.expect(r"^activated 0$", 20)
    g.keyboard.press("down")
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


def busy_removal(g, remove):
    """Esc held, the monitor stopped, the keyboard removed by remove(g): once
    continued, the module releases Esc there (the kernel's queued release is lost
    with the keyboard), well before the monitor closes the device."""
    g.expect(r"^watching /dev/input/event\d+$", 30)
    g.keyboard.key("esc", True)
    g.expect(r"^event type=1 code=1 value=1$", 10)
    mark = g.mark()
    g.send_line("stop")
    g.expect(r"^monitor stopped$", 10, since=mark)
    remove(g)
    cont = g.mark()
    g.send_line("cont")
    g.expect(r"^monitor continued$", 10, since=cont)
    try:
        released = g.expect(r"^event type=1 code=1 value=0$", 5, since=cont)
    except vm.VMError:
        released = None
    done = g.mark()
    repeats = len(g.matching(r"^event type=1 code=1 value=2$", cont))
    g.send_line("quit")
    g.expect(r"^monitor exited 0$", 20, since=done)
    g.expect(r"^watch: device gone$", 10, since=done)
    check(released, "Esc still down on the virtual device 5 s after the keyboard went: %d repeats"
          % repeats)
    check(not g.matching(r"^event type=1 code=1 value=2$", done),
          "Esc repeated on the virtual device after its release")
    check(g.wait(30) == 0, "guest status %r" % g.status)


def body(build_dir):
    with vm.VM(build_dir, GUEST, timeout=150) as g:
        before_removal(g)
        g.send_line("unbind")
        g.expect(r"^keyboard unbound$", 20)
        after_removal(g)
        busy_removal(g, unbind)


def unbind(g):
    mark = g.mark()
    g.send_line("unbind")
    g.expect(r"^keyboard unbound$", 20, since=mark)


if __name__ == "__main__":
    run(body)
