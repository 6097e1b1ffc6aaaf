#!/usr/bin/env python3
"""The bench on ARM: the image's libraries by NEEDED entries (only 32-bit ARM files, the armhf
loader and libc), the guest's devices (/dev/uinput, /dev/binder), vkeyboard's keys as a reader
sees them, its device gone on quit, the exit status."""
import os

import guestkbd
import image_test
from vmtest import check, check_key_down_then_up, run, vm

KBD = "AT Translated Set 2 keyboard"
GUEST = r"""
uname -m
for d in /dev/uinput /dev/binder; do [ -c $d ] && echo "char device $d"; done
evprobe caps "%(k)s"
evprobe watch "%(k)s" 60000 &
probe=$!
read line < /dev/console
echo "host says $line"
wait $probe
echo "probe exited $?"
wait $kbd
grep -c 'Name="%(k)s"' /proc/bus/input/devices
exit 7
""" % {"k": KBD}


def body(build_dir):
    _, initrd = vm.build_image(build_dir, "armhf")
    files = image_test.entries(initrd)
    for want in ("/usr/lib/ld-linux-armhf.so.3", "/usr/lib/arm-linux-gnueabihf/libc.so.6",
                 os.path.join(build_dir, "bin", "vkeyboard")):
        check(want in files, "image lacks %s" % want)
    for name, (mode, data) in files.items():
        if data[:4] == b"\x7fELF" and not name.endswith(".ko"):
            # 32-bit ARM only: a host library picked up by mistake would not load.
            check(data[4] == 1 and data[18] == 40, "%s is not a 32-bit ARM file" % name)

    with guestkbd.KeyboardVM(build_dir, GUEST, timeout=120, arch="armhf") as g:
        g.expect(r"^armv7l$", 60)
        for dev in ("/dev/uinput", "/dev/binder"):
            g.expect(r"^char device %s$" % dev, 10, since=0)
        keys = g.expect(r"^keys: (.*)$", 10, since=0).group(1).split()
        for code in (1, 30, 29, 56, 97, 103, 105, 106, 108, 125, 127):
            check(str(code) in keys, "guest keyboard lacks key %d" % code)
        g.expect(r"^watching /dev/input/event\d+$", 20)

        check_key_down_then_up(g)
        g.send_line("done")
        g.expect(r"^host says done$", 10)
        # quit destroys the device: the reader sees it go, the device list drops it.
        mark = g.mark()
        g.keyboard.quit()
        for line in ("keyboard gone", "watch: device gone", "probe exited 0", "0"):
            g.expect("^%s$" % line, 10, since=mark)
        check(g.wait(30) == 7, "guest status %r, wanted 7" % g.status)
        check(g.ready_after is not None, "no ready line")
        print("boot to ready: %.1f s" % g.ready_after)
    check(g.proc.poll() is not None, "qemu still running after close")


run(body)
