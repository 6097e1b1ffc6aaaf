"""The device's command line (`python3 -m vm device`): boots the armhf build's device
(vm/device.py) and attaches its serial console as the shell user's shell; or runs one command
as that user; or types keys into the device that runs. `./dev device` calls this with the
armhf build folder."""

import argparse
import contextlib
import os
import signal
import socket
import sys
import termios
import threading
import time

from .common import BENCH_FAILURE, SKIP, VMError, VMSkip, command_script
from .device import Device, public_keys_path
from .keys import keyboard_lines
from .runner import EXIT_LINE, READY_LINE


def say(msg):
    print("device: " + msg, file=sys.stderr, flush=True)

USAGE = """python3 -m vm device -b BUILD_DIR [-t SECS] [-- COMMAND...]
       python3 -m vm device --keys KEY...

  (no command)   the console: a shell of the user shell on the device; 'exit' powers off
  -- COMMAND     runs COMMAND as the user shell, exits with its status
  --keys KEY...  types into the running device's keyboard: KEY (press), KEY:SECS (hold),
                 +KEY (down), -KEY (up), sleep:SECS; KEY is esc, up, down, left, right,
                 meta_l, compose, ctrl, alt, a..z, 0..9, f1..f10, ret, spc, ...
"""


class Relay:
    """Serves public_keys_path() while the device runs: each line a client sends goes on to
    the guest's keyboard, and the client gets "ok" or "error: ..." back."""

    def __init__(self, device):
        self.device = device
        self.path = public_keys_path()
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            probe.connect(self.path)
            raise VMError("a device already runs here (%s answers); one at a time" % self.path)
        except OSError:
            pass  # no one there: a stale socket of a device that died
        finally:
            probe.close()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(self.path)
        self.sock.listen(4)
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn, conn.makefile("rwb") as f:
                conn.settimeout(30)
                with contextlib.suppress(OSError):
                    for raw in f:
                        try:
                            self.device.type_line(raw.decode("utf-8", "replace").strip())
                            f.write(b"ok\n")
                        except VMError as e:
                            f.write(("error: %s\n" % e).encode())
                        f.flush()

    def close(self):
        self.sock.close()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path)


def send_keys(words):
    lines = keyboard_lines(words)  # bad words fail here, before any key goes out
    path = public_keys_path()
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(30)
    try:
        s.connect(path)
    except OSError:
        say("no device runs here (no %s); start one with ./dev device" % path)
        return 1
    with s, s.makefile("rwb") as f:
        for line in lines:
            if isinstance(line, tuple):
                time.sleep(line[1])
                continue
            f.write(line.encode() + b"\n")
            f.flush()
            answer = f.readline().decode().strip()
            if answer != "ok":
                say("key %s: %s" % (line, answer or "the device went away"))
                return 1
            time.sleep(0.1)
    return 0


class Quiet:
    """The command's own output: the bench's ready and status lines are left out."""

    def __init__(self, out):
        self.out = out
        self.blank = False

    def write(self, text):
        line = text.rstrip("\n")
        if line == READY_LINE or line.startswith("device: up after") or EXIT_LINE.match(line):
            self.blank = False
            return
        if self.blank:
            self.out.write("\n")
        self.blank = line == ""
        if not self.blank:
            self.out.write(text)

    def flush(self):
        self.out.flush()


def run_device(args, command):
    env = {}
    if command is None:
        size = os.get_terminal_size(sys.stdout.fileno()) if sys.stdout.isatty() else None
        if size:
            env = {"COLUMNS": size.columns, "LINES": size.lines}
    saved = termios.tcgetattr(0) if sys.stdin.isatty() else None
    say("booting the device (%s)%s" % (args.build_dir, "" if command else
                                       "; keys from another terminal: ./dev device --keys KEY..."))
    script = None
    if command:
        script = command_script(command)
    try:
        with Device(args.build_dir, script, timeout=args.timeout, env=env,
                    interactive=command is None, echo=Quiet(sys.stdout), prefix="") as dev:
            relay = Relay(dev)
            try:
                status = dev.wait(None if command is None else max(1.0, dev.deadline - time.monotonic()))
            finally:
                relay.close()
    finally:
        if saved:
            termios.tcsetattr(0, termios.TCSADRAIN, saved)
    if command is None:
        say("the device is off")
        return 0
    return status


def main(argv=None):
    p = argparse.ArgumentParser(prog="device", usage=USAGE, add_help=False)
    p.add_argument("-h", "--help", action="store_true")
    p.add_argument("--build-dir", "-b")
    p.add_argument("--timeout", "-t", type=float, default=300.0)
    p.add_argument("--keys", nargs="+", metavar="KEY")
    p.add_argument("command", nargs=argparse.REMAINDER)
    args = p.parse_args(argv)
    if args.help:
        sys.stdout.write(USAGE)
        return 0
    command = args.command
    if command and command[0] == "--":
        command = command[1:]
    elif command:
        p.error("unknown argument %s (a command goes after --)" % command[0])
    try:
        if args.keys:
            if command:
                p.error("--keys takes no command")
            try:
                return send_keys(args.keys)
            except VMError as e:
                say(str(e))
                return 2
        if args.command and not command:
            p.error("no command after --")
        if not args.build_dir or not os.path.isfile(os.path.join(args.build_dir, "bin", "agent")):
            say("no armhf build at %s (build it: ./dev build --arch armhf)" % args.build_dir)
            return 2
        # Closing the terminal or a kill ends qemu too (Device.close kills it by PID).
        for sig in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, lambda *_: sys.exit(128 + 15))
        return run_device(args, command or None)
    except VMSkip as e:
        say("cannot run: %s" % e)
        return SKIP
    except VMError as e:
        say(str(e))
        return BENCH_FAILURE
    except KeyboardInterrupt:
        say("interrupted; qemu ended")
        return 130
