#!/usr/bin/env python3
"""vkeyboard destroys its device while the monitor waits in the module: one log
line, no spinning; then again while Esc is held and the monitor stopped."""
import guestkbd
from keyboard_gone_test import GUEST_BUSY, GUEST_END, GUEST_START, after_removal, before_removal, \
    busy_removal
from vmtest import run

DESTROYED = r"""
wait $kbd
echo "keyboard destroyed"
"""

GUEST = GUEST_START + DESTROYED + GUEST_END + GUEST_BUSY % {
    "keyboard": 'vkeyboard < "$keys" &\nkbd=$!', "remove": DESTROYED}


def destroy(g):
    mark = g.mark()
    g.keyboard.quit()
    g.expect(r"^keyboard destroyed$", 20, since=mark)


def body(build_dir):
    with guestkbd.KeyboardVM(build_dir, GUEST, timeout=150, arch="armhf") as g:
        before_removal(g)
        g.keyboard.quit()
        g.send_line("go")
        g.expect(r"^keyboard destroyed$", 20)
        after_removal(g)
        busy_removal(g, destroy)


run(body)
