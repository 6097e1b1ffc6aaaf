#!/usr/bin/env python3
"""The sensor module's real-kernel run where the keyboard is vkeyboard's."""
import guestkbd
import sensors_test
from vmtest import run

run(lambda build_dir: sensors_test.body(build_dir, guestkbd.KeyboardVM))
