#!/usr/bin/env python3
"""A keyboard lost is looked for again. A second device of the keyboard's name (vkeyboard) is
the only one when the monitor opens the module and is taken; the real keyboard comes back beside
it, the impostor is destroyed, and the real keyboard's arrows report again. Then the only keyboard
goes and is made again: reports resume. No periodic wake-ups while none is there."""
from vmtest import check, run, vm

# GONE and BACK remove and restore the real keyboard; the host's cue lines pace the script.
GUEST = vm.GUEST_HELPERS + r"""
export ANDROID_LOG_TAGS='*:v'
exec 5< /dev/console
kbds() {
    _i=0
    until [ "$(grep -c 'Name="AT Translated Set 2 keyboard"' /proc/bus/input/devices)" = "$1" ]; do
        _i=$((_i+1)); [ $_i -gt 200 ] && { echo "keyboards: not $1"; return 1; }
        usleep 50000
    done
    echo "keyboards: $1"
}
# watching N: the monitor holds N inotify descriptors within 10 s.
watching() {
    _i=0
    until [ "$(ls -l /proc/$mon/fd | grep -c inotify)" = "$1" ]; do
        _i=$((_i+1)); [ $_i -gt 200 ] && { echo "watches: not $1"; return 1; }
        usleep 50000
    done
}
%(setup)s
echo "script ready"
read -r line <&5
%(gone)s
kbds 0 || exit 1
mkfifo /tmp/imp
vkeyboard < /tmp/imp &
imp=$!
exec 6> /tmp/imp
kbds 1 || exit 1
sensormon &
mon=$!
upto /proc/bus/input/devices 'Name="Zaze V2 Buttons"' "" 600 || { echo "no virtual device"; exit 1; }
%(back)s
kbds 2 || exit 1
read -r line <&5; echo "press 108" >&6
read -r line <&5; echo quit >&6; wait $imp; echo "impostor destroyed"
read -r line <&5
%(gone)s
kbds 0
sleep 1
a=$(cut -d' ' -f14,15 /proc/$mon/stat)
sleep 2
b=$(cut -d' ' -f14,15 /proc/$mon/stat)
echo "cpu ticks before $a after $b"
# A storm while none is there: ten devices of the name made, taken, destroyed.
watching 1
n0=$(ls /proc/$mon/fd | wc -l)
i=0
while [ $i -lt 10 ]; do
    mkfifo /tmp/s$i
    vkeyboard < /tmp/s$i > /dev/null &
    s=$!
    exec 7> /tmp/s$i
    watching 0
    echo quit >&7
    exec 7>&-
    wait $s
    watching 1
    i=$((i+1))
done
# The watch is set before the scan that follows a loss, so the scan's listing may still be open.
_i=0
while [ "$(ls /proc/$mon/fd | wc -l)" != "$n0" ] && [ $_i -lt 100 ]; do _i=$((_i+1)); usleep 50000; done
echo "descriptors before $n0 after $(ls /proc/$mon/fd | wc -l), watches $(ls -l /proc/$mon/fd | grep -c inotify)"
read -r line <&5
%(back)s
kbds 1
read -r line <&5; kill -TERM $mon; wait $mon; echo "monitor exited $?"
"""

X86 = {
    "setup": "port=$(basename $(ls -d /sys/bus/serio/drivers/atkbd/serio* | head -n 1))",
    "gone": "echo $port > /sys/bus/serio/drivers/atkbd/unbind",
    "back": "echo $port > /sys/bus/serio/drivers/atkbd/bind",
}

REPORT = r"^report rotation=%d x=\S+ y=\S+ z=\S+ t=\d+$"


def cue(g):
    mark = g.mark()
    g.send_line("go")
    return mark


def reported(g, rotation, since, failures, what):
    """A report of the rotation since the mark, else the fault noted: both cases run."""
    try:
        g.expect(REPORT % rotation, 10, since=since)
        check(len(g.matching(r"keyboard taken again", since)) == 1, "no 'taken again' line")
    except (vm.VMError, AssertionError) as e:
        failures.append("%s (%s)" % (what, str(e).splitlines()[0]))


def body(build_dir, machine=vm.VM, gone=lambda g: None, **kw):
    failures = []
    with machine(build_dir, GUEST % kw.pop("snippets", X86), timeout=180, **kw) as g:
        # Console input sent before the script reads it would be lost.
        g.expect(r"^script ready$", 60)
        gone(g)
        cue(g)
        g.expect(r"^keyboards: 1$", 30)
        g.expect(r"^activated 0$", 60)
        g.expect(r"^keyboards: 2$", 30)
        mark = cue(g)
        try:
            g.expect(REPORT % 180, 10, since=mark)
        except vm.VMError:
            raise AssertionError("the impostor, the only keyboard at open, was not taken")
        mark = cue(g)
        g.expect(r"^impostor destroyed$", 20, since=mark)
        g.keyboard.press("left")
        reported(g, 270, mark, failures, "no report from the real keyboard after the impostor went")

        mark = cue(g)
        gone(g)
        g.expect(r"^keyboards: 0$", 20, since=mark)
        m = g.expect(r"^cpu ticks before (\d+) (\d+) after (\d+) (\d+)$", 30)
        ticks = int(m.group(3)) + int(m.group(4)) - int(m.group(1)) - int(m.group(2))
        check(ticks <= 10, "monitor used %d ticks in 2 s without a keyboard" % ticks)
        m = g.expect(r"^descriptors before (\d+) after (\d+), watches (\d+)$", 120)
        check(m.group(1) == m.group(2) and m.group(3) == "1",
              "after ten keyboards made and destroyed: %s" % m.group(0))
        check(not g.matching(r"^watches: not", 0), "the watch did not follow the keyboards")
        mark = cue(g)
        g.expect(r"^keyboards: 1$", 30, since=mark)
        g.keyboard.press("right")
        reported(g, 90, mark, failures, "no report after the only keyboard was made again")
        cue(g)
        g.expect(r"^monitor exited 0$", 20)
        check(g.wait(30) == 0, "guest status %r" % g.status)
    check(not failures, "; ".join(failures))


if __name__ == "__main__":
    run(body)
