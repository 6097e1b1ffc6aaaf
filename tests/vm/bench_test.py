#!/usr/bin/env python3
"""The bench itself: the guest's devices (the keyboard "AT Translated Set 2 keyboard" at
/dev/input/event0, /dev/uinput, /dev/binder), a key's down and up typed from the host through
QMP, the guest command's exit status."""
from vmtest import check, check_key_down_then_up, run, vm

GUEST = r"""
grep '^N: Name=' /proc/bus/input/devices
for d in /dev/uinput /dev/binder /dev/input/event0; do [ -c $d ] && echo "char device $d"; done
evprobe watch "AT Translated Set 2 keyboard" 60000 &
probe=$!
read line < /dev/console
echo "host says $line"
kill $probe
exit 7
"""


def body(build_dir):
    with vm.VM(build_dir, GUEST, timeout=120) as g:
        g.expect(r'^N: Name="AT Translated Set 2 keyboard"$', 60)
        for dev in ("/dev/uinput", "/dev/binder", "/dev/input/event0"):
            g.expect(r"^char device %s$" % dev, 10, since=0)
        g.expect(r"^watching /dev/input/event0$", 20)

        check_key_down_then_up(g)
        g.send_line("done")
        g.expect(r"^host says done$", 10)
        check(g.wait(30) == 7, "guest status %r, wanted 7" % g.status)
    check(g.proc.poll() is not None, "qemu still running after close")


run(body)
