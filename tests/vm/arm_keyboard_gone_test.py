#!/usr/bin/env python3
"""vkeyboard destroys its device while the monitor waits in the module: one log
line, no spinning."""
import guestkbd
from keyboard_gone_test import GUEST_END, GUEST_START, after_removal, before_removal
from vmtest import run

GUEST = GUEST_START + r"""
wait $kbd
echo "keyboard destroyed"
""" + GUEST_END


def body(build_dir):
    with guestkbd.KeyboardVM(build_dir, GUEST, timeout=150, arch="armhf") as g:
        before_removal(g)
        g.send_line("k quit")
        g.send_line("go")
        g.expect(r"^keyboard destroyed$", 20)
        after_removal(g)


run(body)
