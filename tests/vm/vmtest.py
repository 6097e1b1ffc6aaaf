"""Shared frame of the real-kernel tests: skip honestly, fail with the reason."""
import os
import sys
import time

import vm

SKIP = vm.SKIP


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def check_key_down_then_up(g):
    """The guest's reader prints "event type=1 code=30 value=V" lines: down and up of "a" are
    separate events, and the release comes only when sent."""
    g.keyboard.key("a", True)
    g.expect(r"^event type=1 code=30 value=1$", 10)
    mark = g.mark()
    g.keyboard.key("a", False)
    g.expect(r"^event type=1 code=30 value=0$", 10, since=mark)
    check(not g.matching(r"code=30 value=0", 0)[:-1], "release arrived before it was sent")


def run(body):
    """body(build_dir) boots what it needs; exit 0 pass, 1 fail, 77 skip."""
    if len(sys.argv) != 2:
        print("usage: %s BUILD_DIR" % sys.argv[0], file=sys.stderr)
        sys.exit(2)
    start = time.monotonic()
    try:
        body(os.path.abspath(sys.argv[1]))
    except vm.VMSkip as e:
        print("SKIP: %s" % e)
        sys.exit(SKIP)
    except (vm.VMError, AssertionError) as e:
        print("FAIL: %s" % e)
        sys.exit(1)
    print("PASS (%.1f s)" % (time.monotonic() - start))
