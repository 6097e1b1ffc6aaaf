#!/usr/bin/env python3
"""The sensor module on the real kernel: keys typed into the emulated keyboard,
reports, the virtual button device and what reaches it."""
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

GUEST = r"""
export ANDROID_LOG_TAGS='*:v'
sensordrive "$BUILD_DIR/lib" < /dev/console &
drv=$!
n=0
until grep -q 'Name="%(v)s"' /proc/bus/input/devices; do
    n=$((n+1)); [ $n -gt 300 ] && { echo "no virtual device"; kill $drv; exit 1; }
    sleep 0.1
done
evprobe caps "%(v)s"
grep -A9 'Name="%(v)s"' /proc/bus/input/devices | grep '^B: EV='
evprobe watch "%(v)s" 150000 &
probe=$!
wait $drv
echo "sensordrive exited $?"
if grep -q 'Name="%(v)s"' /proc/bus/input/devices; then echo "virtual device still there"; else echo "virtual device removed"; fi
wait $probe
""" % {"v": VIRTUAL}


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
        g.qmp.press("right")
        g.expect(r"orientation changed from 0 to 90$", 10, since=start)
        # The release of Right reports nothing while disabled, so nothing shows
        # it was read; Compose behind it on the same device does, once forwarded.
        # Without this the release can be read after "enable" and report.
        g.qmp.press("compose")
        g.expect(KEY % (127, 0), 10, since=start)

        g.send_line("enable")
        g.expect(r"^enabled$", 10, since=start)
        check(not g.matching(REPORT, start), "report while disabled")

        # Press and release of an arrow each report; the first key sets nothing new.
        seen = []
        for qcode, deg in (("down", 180), ("up", 0), ("left", 270), ("right", 90)):
            mark = g.mark()
            g.qmp.press(qcode)
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
            g.qmp.press(qcode, hold)
            m = g.expect(REPORT, 10, since=mark)
            check(m.group(1) == "90", "%s release reported rotation %s" % (qcode, m.group(1)))
            check(len(g.matching(REPORT, mark)) == 1, "%s: more than one report" % qcode)

        # Right Ctrl is ordinary; the three buttons arrive on the virtual device.
        mark = g.mark()
        g.qmp.press("ctrl_r")
        for qcode, code in (("esc", 1), ("compose", 127), ("meta_l", 125)):
            g.qmp.press(qcode)
            g.expect(KEY % (code, 1), 10, since=mark)
            g.expect(KEY % (code, 0), 10, since=mark)
        g.qmp.press("a")

        # Disabled again: arrows change the rotation and report nothing.
        g.send_line("disable")
        g.expect(r"^disabled$", 10, since=mark)
        g.qmp.press("up")
        g.expect(r"orientation changed from 90 to 0$", 10, since=mark)
        check(not g.matching(REPORT, mark), "reports after the arrows: %r" %
              [m.group(0) for m in g.matching(REPORT, mark)])
        check(not g.matching(r"^event type=1 code=(29|56) ", 0), "left Ctrl/Alt reached the virtual device")
        check(len(g.matching(r"^event type=1 code=1 value=1$", 0)) == 1, "Escape forwarded more than once")

        g.send_line("quit")
        g.expect(r"^closed$", 20, since=mark)
        g.expect(r"^sensordrive exited 0$", 10, since=mark)
        g.expect(r"^virtual device removed$", 10, since=mark)
        g.expect(r"^watch: device gone$", 10, since=mark)
        check(g.wait(30) == 0, "guest status %r" % g.status)


if __name__ == "__main__":
    run(body)
