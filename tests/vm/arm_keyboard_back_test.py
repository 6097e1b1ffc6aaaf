#!/usr/bin/env python3
"""keyboard_back_test on the ARM kernel: the keyboard is vkeyboard on the key port, destroyed
by the host (quit) and made again by the guest."""
import guestkbd
import keyboard_back_test
from vmtest import run

ARM = {
    "setup": "",
    "gone": "wait $kbd",
    "back": 'vkeyboard < "$keys" &\nkbd=$!',
}


def body(build_dir):
    keyboard_back_test.body(build_dir, guestkbd.KeyboardVM, gone=lambda g: g.keyboard.quit(),
                            snippets=ARM, arch="armhf")


run(body)
