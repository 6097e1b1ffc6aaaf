#!/usr/bin/env python3
"""The sensor module on the real kernel, driven through the loader by sensordrive: keys typed
into the emulated keyboard; reports only while enabled, the four vectors, a report on press and
on release of an arrow, left Ctrl (held into autorepeat) and left Alt reported only on release;
"Zaze V2 Buttons" with exactly EV_KEY and EV_REP (and the kernel's EV_SYN) and the keys KEY_ESC,
KEY_LEFTMETA and KEY_COMPOSE, Escape, Compose and left Meta arriving on it, the device gone after
close, and a child of the service holding none of the module's descriptors. Then, under the
monitor: Esc held 2 s repeats there as often as on the keyboard, not twice as often; Esc held
while the monitor is stopped (SIGSTOP by PID), its release and 20 keystrokes overflowing the 64
events that the kernel queues for the module, is released there once the monitor is continued;
5 Esc strokes and a Down typed behind such a drop all arrive; and the sensor toggled off and on
by a signal while the monitor's poll waits."""
import re
import time

from vmtest import check, run, vm

VIRTUAL = "Zaze V2 Buttons"
VECTORS = {
    0: "x=0.000000 y=9.772881 z=0.813139",
    90: "x=9.772881 y=0.000000 z=0.813139",
    180: "x=0.000000 y=9.772881 z=-0.813139",
    270: "x=-9.772881 y=0.000000 z=-0.813139",
}
REPORT = r"^report rotation=(\d+) (.*)$"
KEY = r"^event type=1 code=%d value=%d$"
# The keyboard's own events, as its watcher in the monitor's round prints them.
KBD_KEY = r"^keyboard event type=1 code=%d value=%d$"

GUEST = vm.GUEST_HELPERS + r"""
export ANDROID_LOG_TAGS='*:v'
virtual_device() {
    upto /proc/bus/input/devices 'Name="%(v)s"' "" 600 || { echo "no virtual device"; kill $1; exit 1; }
}
sensordrive "$BUILD_DIR/lib" < /dev/console &
drv=$!
virtual_device $drv
evprobe caps "%(v)s"
grep -A9 'Name="%(v)s"' /proc/bus/input/devices | grep '^B: EV='
evprobe watch "%(v)s" 150000 &
probe=$!
wait $drv
echo "sensordrive exited $?"
if grep -q 'Name="%(v)s"' /proc/bus/input/devices; then echo "virtual device still there"; else echo "virtual device removed"; fi
wait $probe

# The monitor's round: the test's lines stop and continue it by its PID, then end it.
exec 5< /dev/console
sensormon &
mon=$!
virtual_device $mon
evprobe watch "%(v)s" 150000 &
probe=$!
evprobe watch "AT Translated Set 2 keyboard" 150000 | while IFS= read -r l; do echo "keyboard $l"; done &
while read -r line <&5 && [ "$line" != quit ]; do
    case "$line" in
        stop) kill -STOP $mon && echo "monitor stopped" ;;
        cont) kill -CONT $mon && echo "monitor continued" ;;
        toggle) kill -USR1 $mon ;;
    esac
done
kill -TERM $mon; wait $mon; echo "monitor exited $?"
wait $probe
""" % {"v": VIRTUAL}

# Keystrokes typed while the monitor is stopped: with 4 events each (vkeyboard's
# KEY+SYN, down and up) or 6 (the AT keyboard's MSC_SCAN+KEY+SYN), 20 of them
# overflow the 64 events that the kernel queues for the module after Esc's release.
OVERFLOW_KEYS = 20
# Events a keystroke makes on each machine's keyboard.
STROKE_EVENTS = {vm.VM: 6}


def body(build_dir, machine=vm.VM):
    with machine(build_dir, GUEST, timeout=200) as g:
        g.expect(r"^opened$", 60)
        # EV_SYN is the kernel's own; the module declares EV_KEY and EV_REP.
        g.expect(r"^types: 0 1 20$", 20, since=0)
        g.expect(r"^keys: 1 125 127$", 5, since=0)
        g.expect(r"^B: EV=100003$", 5, since=0)
        g.expect(r"^watching /dev/input/event\d+$", 20)

        # Disabled: the rotation follows the keys, nothing is reported.
        start = g.mark()
        g.keyboard.press("right")
        g.expect(r"orientation changed from 0 to 90$", 10, since=start)
        # The release of Right reports nothing while disabled, so nothing shows
        # it was read; Compose behind it on the same device does, once forwarded.
        # Without this the release can be read after "enable" and report.
        g.keyboard.press("compose")
        g.expect(KEY % (127, 0), 10, since=start)

        g.send_line("enable")
        g.expect(r"^enabled$", 10, since=start)
        check(not g.matching(REPORT, start), "report while disabled")

        # Press and release of an arrow each report; the first key sets nothing new.
        seen = []
        for qcode, deg in (("down", 180), ("up", 0), ("left", 270), ("right", 90)):
            mark = g.mark()
            g.keyboard.press(qcode)
            for _ in range(2):
                m = g.expect(REPORT, 10)
                seen.append((int(m.group(1)), m.group(2)))
            check(len(g.matching(r"orientation changed from \d+ to %d$" % deg, mark)) == 1,
                  "%s: one change line wanted" % qcode)
        check(seen == [(d, VECTORS[d]) for d in (180, 180, 0, 0, 270, 270, 90, 90)],
              "arrow reports: %r" % seen)

        # Left Ctrl held into autorepeat, then left Alt: only their releases report.
        for qcode, hold in (("ctrl", 0.8), ("alt", 0.05)):
            mark = g.mark()
            g.keyboard.press(qcode, hold)
            m = g.expect(REPORT, 10, since=mark)
            check(m.group(1) == "90", "%s release reported rotation %s" % (qcode, m.group(1)))
            check(len(g.matching(REPORT, mark)) == 1, "%s: more than one report" % qcode)

        # Right Ctrl is ordinary; the three buttons arrive on the virtual device.
        mark = g.mark()
        g.keyboard.press("ctrl_r")
        for qcode, code in (("esc", 1), ("compose", 127), ("meta_l", 125)):
            g.keyboard.press(qcode)
            g.expect(KEY % (code, 1), 10, since=mark)
            g.expect(KEY % (code, 0), 10, since=mark)
        g.keyboard.press("a")

        # Disabled again: arrows change the rotation and report nothing.
        g.send_line("disable")
        g.expect(r"^disabled$", 10, since=mark)
        g.keyboard.press("up")
        g.expect(r"orientation changed from 90 to 0$", 10, since=mark)
        check(not g.matching(REPORT, mark), "reports after the arrows: %r" %
              [m.group(0) for m in g.matching(REPORT, mark)])
        check(not g.matching(r"^event type=1 code=(29|56) ", 0), "left Ctrl/Alt reached the virtual device")
        check(len(g.matching(r"^event type=1 code=1 value=1$", 0)) == 1, "Escape forwarded more than once")

        # A helper that the service starts inherits neither descriptor, and the
        # device goes with the close while the helper still runs.
        g.send_line("spawn echo inherited $(ls -l /proc/self/fd | grep -c -e /dev/input/ -e /dev/uinput);"
                    " exec sleep 3")
        m = g.expect(r"^inherited (\d+)$", 10, since=mark)
        check(m.group(1) == "0", "a child of the service holds %s of the module's descriptors" % m.group(1))

        g.send_line("quit")
        g.expect(r"^closed$", 20, since=mark)
        g.expect(r"^sensordrive exited 0$", 10, since=mark)
        g.expect(r"^virtual device removed$", 10, since=mark)
        g.expect(r"^watch: device gone$", 10, since=mark)

        monitor_round(g, STROKE_EVENTS.get(machine, 4))
        check(g.wait(30) == 0, "guest status %r" % g.status)


def monitor_round(g, stroke_events):
    """The faults are looked at before any fails the test."""
    mark = g.mark()
    g.expect(r"^activated 0$", 60, since=mark)
    g.expect(r"^watching /dev/input/event\d+$", 20, since=mark)
    g.expect(r"^keyboard watching /dev/input/event\d+$", 20, since=mark)
    faults = []

    # A held Esc repeats on the virtual device by that device's own autorepeat:
    # at the keyboard's rate (both 250/33 ms), not at the sum of the two.
    hold = g.mark()
    g.keyboard.press("esc", 2.0)
    g.expect(KBD_KEY % (1, 0), 10, since=hold)
    g.expect(KEY % (1, 0), 10, since=hold)
    kbd = len(g.matching(KBD_KEY % (1, 2), hold))
    ours = len(g.matching(KEY % (1, 2), hold))
    print("Esc held 2 s: %d repeats on the keyboard, %d on the virtual device" % (kbd, ours))
    check(kbd >= 20, "the keyboard repeated Esc %d times in 2 s" % kbd)
    if not kbd / 2 <= ours <= kbd * 3 / 2:
        faults.append("Esc held 2 s: %d repeats on the keyboard, %d on the virtual device" % (kbd, ours))

    # Esc held, then the monitor stopped: Esc's release and the keystrokes behind
    # it overflow the module's queue, and the kernel drops them for a SYN_DROPPED.
    # Continued, the module must release Esc on the virtual device itself.
    down = g.mark()
    g.keyboard.key("esc", True)
    g.expect(KEY % (1, 1), 10, since=down)
    g.send_line("stop")
    g.expect(r"^monitor stopped$", 10, since=down)
    g.keyboard.key("esc", False)
    for _ in range(OVERFLOW_KEYS):
        g.keyboard.press("a")
    g.expect(KBD_KEY % (1, 0), 10, since=down)
    for _ in range(OVERFLOW_KEYS):
        g.expect(KBD_KEY % (30, 0), 10)
    cont = g.mark()
    g.send_line("cont")
    g.expect(r"^monitor continued$", 10, since=cont)
    # A second for a stuck Esc to show by its repeats; Compose, which would end
    # them, then marks that the module has read what was queued.
    time.sleep(1)
    g.keyboard.press("compose")
    g.expect(KEY % (127, 0), 10, since=cont)
    check(g.matching(r"keyboard events dropped by the kernel", cont) or not g.matching(KEY % (1, 0), cont),
          "Esc released, but the module saw no SYN_DROPPED: the queue did not overflow")
    released = [i for i, line in enumerate(g.lines[cont:], cont) if line == "event type=1 code=1 value=0"]
    if not released:
        faults.append("Esc stuck on the virtual device after the kernel dropped its release: no release, %d "
                      "repeats in the second after the monitor went on" % len(g.matching(KEY % (1, 2), cont)))
    elif g.matching(KEY % (1, 2), released[0]):
        faults.append("Esc repeated on the virtual device after its release")

    # Stopped again: 72 events overflow the empty queue, and 5 Esc strokes and a
    # Down stroke queue up behind the drop. Reading the key state too early
    # would flush them.
    behind = g.mark()
    g.send_line("stop")
    g.expect(r"^monitor stopped$", 10, since=behind)
    for _ in range(-(-72 // stroke_events)):
        g.keyboard.press("a")
    for _ in range(5):
        g.keyboard.press("esc")
    g.keyboard.press("down")
    g.expect(KBD_KEY % (108, 0), 10, since=behind)
    cont = g.mark()
    g.send_line("cont")
    g.expect(r"^monitor continued$", 10, since=cont)
    g.keyboard.press("compose")
    g.expect(KEY % (127, 0), 10, since=cont)
    strokes = len(g.matching(KEY % (1, 1), cont))
    turned = g.matching(r"^report rotation=180 ", cont)
    if strokes != 5 or not turned:
        faults.append("behind a drop: %d of 5 Esc strokes arrived, %s" %
                      (strokes, "Down reported" if turned else "no report of Down"))

    # The sensor off and on from the monitor's control thread while its poll
    # waits on the keyboard: off, an arrow changes the rotation and reports nothing.
    off = g.mark()
    g.send_line("toggle")
    g.expect(r"^activate 0$", 10, since=off)
    g.keyboard.press("left")
    g.keyboard.press("compose")
    g.expect(r"orientation changed from \d+ to 270$", 10, since=off)
    g.expect(KEY % (127, 0), 10, since=off)
    on = g.mark()
    g.send_line("toggle")
    g.expect(r"^activate 1$", 10, since=on)
    g.keyboard.press("up")
    m = g.expect(REPORT, 10, since=on)
    check(not [line for line in g.lines[off:on] if re.search(REPORT, line)], "report while off")
    check(m.group(1) == "0", "report after activate 1: rotation %s" % m.group(1))

    g.send_line("quit")
    g.expect(r"^closed$", 20, since=cont)
    g.expect(r"^monitor exited 0$", 10, since=cont)
    g.expect(r"^watch: device gone$", 10, since=cont)
    check(not faults, "; ".join(faults))


if __name__ == "__main__":
    run(body)
