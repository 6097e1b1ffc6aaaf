"""Shared frame of the real-kernel tests: skip honestly, fail with the reason."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "vm"))
import vm  # noqa: E402

SKIP = vm.SKIP


def check(cond, what):
    if not cond:
        raise AssertionError(what)


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
