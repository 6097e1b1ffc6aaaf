"""Real-kernel bench: Debian's kernel under qemu with a busybox initramfs.

The command line over this library (with PYTHONPATH=tools/vm):
  python3 -m vm image --build-dir DIR    build (or reuse) the image, print its paths
  python3 -m vm run --build-dir DIR [-t SECS] -- COMMAND...
                                         boot, run COMMAND in the guest, exit with its status
  python3 -m vm keys --qmp SOCKET KEY... type keys into a running guest (see --help)
  python3 -m vm device ...               the device (device_cli.py; ./dev device calls it)
"""

import argparse
import contextlib
import os
import sys
import time

from . import device_cli
from .common import (ARCHES, BENCH_FAILURE, SKIP, VMError, VMSkip, build_arch, command_script, default_arch,
                     log)
from .image import build_image
from .keyboard import QMPKeyboard
from .qmp import QMP
from .runner import VM


def _check_build_dir(args):
    """A missing build folder would boot a guest without the project's programs, and
    another architecture's kernel could not run them."""
    if not os.path.isdir(os.path.join(args.build_dir, "bin")):
        log("%s: no build folder with bin/ at %s (build first: ./dev build)" % (args.cmd, args.build_dir))
        return False
    built = build_arch(args.build_dir)
    if args.arch and built and args.arch != built:
        log("%s: %s is an %s build, not %s (leave --arch out)" % (args.cmd, args.build_dir, built, args.arch))
        return False
    args.arch = args.arch or built or default_arch()
    return True


def _main_image(args):
    if not _check_build_dir(args):
        return 2
    vmlinuz, initrd = build_image(args.build_dir, args.arch, args.cache)
    print("kernel %s" % vmlinuz)
    print("initrd %s" % initrd)
    return 0


def _main_run(args):
    cmd = args.command
    if cmd and cmd[0] == "--":
        cmd = cmd[1:]
    if not cmd:
        log("run: no guest command given")
        return 2
    if not _check_build_dir(args):
        return 2
    script = command_script(cmd)
    with VM(args.build_dir, script, timeout=args.timeout, arch=args.arch, cache=args.cache,
            prefix="") as vm:
        if args.qmp_link:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(args.qmp_link)
            vm.qmp.close()  # the socket takes one client at a time
            vm.qmp = vm.keyboard = None
            os.symlink(vm.qmp_path, args.qmp_link)
        try:
            status = vm.wait(max(1.0, vm.deadline - time.monotonic()))
        finally:
            if args.qmp_link:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(args.qmp_link)
        log("guest status %d after %.1f s (ready after %.1f s)" % (status, vm.elapsed(), vm.ready_after or -1))
        return status


def _main_keys(args):
    kbd = QMPKeyboard(QMP(args.qmp))
    try:
        kbd.type(args.keys, args.gap)
    finally:
        kbd.qmp.close()
    return 0


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["device"]:
        return device_cli.main(argv[1:])  # its own options and usage
    p = argparse.ArgumentParser(prog="python3 -m vm", description="Debian's kernel under qemu: "
                                "build the image, run one guest command, type keys.")
    sub = p.add_subparsers(dest="cmd", required=True)
    for name in ("image", "run"):
        s = sub.add_parser(name, help={"image": "build or reuse the image of a build folder",
                                       "run": "boot, run COMMAND in the guest, exit with its status"}[name])
        s.add_argument("--build-dir", "-b", required=True, help="the project's build folder")
        s.add_argument("--arch", choices=sorted(ARCHES),
                       help="guest architecture (default: the build folder's, else VM_ARCH or x86_64)")
        s.add_argument("--cache", help="cache folder (default: VM_CACHE or the project's .cache/vm)")
        if name == "run":
            s.add_argument("--timeout", "-t", type=float, default=120.0, help="hard limit in seconds")
            s.add_argument("--qmp-link", help="make the QMP socket reachable at this path while the guest runs")
            s.add_argument("command", nargs=argparse.REMAINDER, help="guest shell command")
    k = sub.add_parser("keys", help="type keys into a running guest through its QMP socket")
    k.add_argument("--qmp", required=True, help="the QMP socket (see run --qmp-link)")
    k.add_argument("--gap", type=float, default=0.1, help="seconds between steps")
    k.add_argument("keys", nargs="+", help="qcode names: KEY, KEY:HOLD, +KEY (down), -KEY (up), sleep:SECS")
    sub.add_parser("device", add_help=False, help="the device: a console, one command or keys (device --help)")
    args = p.parse_args(argv)
    try:
        return {"image": _main_image, "run": _main_run, "keys": _main_keys}[args.cmd](args)
    except VMSkip as e:
        log("cannot run: %s" % e)
        return SKIP
    except VMError as e:
        log(str(e))
        return BENCH_FAILURE


if __name__ == "__main__":
    sys.exit(main())
