"""The device's command line (`python3 -m vm device`): boots the armhf build's device
(vm/device.py) and attaches its serial console as the shell user's shell; or runs one command
as that user; or types keys into the device that runs; or works with a device left running
(vm/device_session.py): start, exec, install, logs, status, stop. `./dev device` calls this
with the armhf build folder."""

import argparse
import contextlib
import os
import re
import signal
import socket
import sys
import termios
import threading
import time

from .common import BENCH_FAILURE, SKIP, VMError, VMSkip, command_script
from .device import Device, public_keys_path
from .device_session import DeviceDied, NoDevice, Session, TimeLimit
from .keys import keyboard_lines
from .runner import EXIT_LINE, READY_LINE


def say(msg):
    if sys.stderr is not None:  # started with descriptor 2 closed
        with contextlib.suppress(OSError):
            print("device: " + msg, file=sys.stderr, flush=True)

USAGE = """python3 -m vm device -b BUILD_DIR [-t SECS] [-- COMMAND...]
       python3 -m vm device -b BUILD_DIR start [-t SECS] | stop | status
       python3 -m vm device -b BUILD_DIR exec [--root] [-t SECS] -- COMMAND...
       python3 -m vm device -b BUILD_DIR install [PATH...] | logs [NAME] [-f]
       python3 -m vm device --keys KEY...

  (no command)   the console: a shell of the user shell on the device; 'exit' powers off
                 (with a device started: its console, until Ctrl-])
  -- COMMAND     runs COMMAND as the user shell, exits with its status (on the started
                 device if there is one, else on a device booted for it)
  start          boots the device in the background, returns once it is up
  exec           runs COMMAND on the started device as the user shell (or root)
  install        copies deliverables (all three by default) to their places on the started
                 device and restarts the sensor service for sensors.vardel.so
  logs           the device's logs (/data/log), each line prefixed with its name; -f follows
  status, stop   whether one runs (since when, its processes); power it off
  --keys KEY...  types into the running device's keyboard: KEY (press), KEY:SECS (hold),
                 +KEY (down), -KEY (up), sleep:SECS; KEY is esc, up, down, left, right,
                 meta_l, compose, ctrl, alt, a..z, 0..9, f1..f10, ret, spc, ...
"""
SESSION = ("start", "exec", "install", "logs", "stop", "status")
# Exit statuses beyond a command's own (docs/device.md).
NOT_RUNNING, DIED, USAGE_ERROR, TIME_LIMIT = 3, 1, 2, 124


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


def session_keys(session, lines):
    """Keys to a started device: its keyboard reads the key port's pipe."""
    try:
        session.running()
        fd = os.open(session.keys_path(), os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except (NoDevice, DeviceDied, OSError) as e:
        say(str(e) if isinstance(e, VMError) else "the device's key port: %s" % e.strerror)
        return 1
    try:
        for line in lines:
            if isinstance(line, tuple):
                time.sleep(line[1])
                continue
            os.write(fd, line.encode() + b"\n")
            time.sleep(0.1)
    except OSError as e:
        say("key %s: %s" % (line, e.strerror))
        return 1
    finally:
        os.close(fd)
    return 0


def send_keys(words, session=None):
    lines = keyboard_lines(words)  # bad words fail here, before any key goes out
    if session is not None and session.read() is not None:
        return session_keys(session, lines)
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


def write_out(data):
    # A reader that left (a pipe closed) or a full disk: one line and the failure status.
    if not data:
        return True
    if sys.stdout is None:
        say("standard output: closed; the output was lost")
        return False
    try:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return True
    except OSError as e:
        say("standard output: %s" % (e.strerror or e))
        return False


def session_exec(session, command, root, timeout, channel=None):
    code, out, err = session.run(command_script(command), root=root, timeout=timeout, channel=channel)
    ok = write_out(out)
    with contextlib.suppress(OSError, AttributeError):  # stderr closed or a pipe that left
        sys.stderr.buffer.write(err)
        sys.stderr.buffer.flush()
    return code if ok else BENCH_FAILURE


def session_status(session):
    info = session.read()
    if info is None:
        say("no device runs")
        return NOT_RUNNING
    if not session.alive(info):
        say(session._died(info) + "; the next command cleans up")
        return DIED
    up = time.time() - info["since"]
    say("a device runs since %s (%d min %02d s), qemu PID %d, its state in %s"
        % (time.strftime("%H:%M:%S", time.localtime(info["since"])), up // 60, up % 60, info["pid"],
           session.state))
    code, out, _ = session.run("ps -o user,pid,args | grep -v '[[]'", root=True, timeout=30, info=info)
    write_out(out)
    return 0


def session_main(session, args, rest):
    """start, exec, install, logs, stop, status (rest: what follows the subcommand)."""
    cmd = args.command[0]
    q = argparse.ArgumentParser(prog="device " + cmd, usage=USAGE, add_help=False)
    q.add_argument("--timeout", "-t", type=float, default=args.timeout)
    if cmd == "exec":
        q.add_argument("--root", action="store_true")
        q.add_argument("--channel", help=argparse.SUPPRESS)  # a bare guest's agent socket (bench/vm)
        q.add_argument("command", nargs=argparse.REMAINDER)
    elif cmd == "install":
        q.add_argument("paths", nargs="*")
    elif cmd == "logs":
        q.add_argument("-f", "--follow", action="store_true")
        q.add_argument("name", nargs="?")
    sub = q.parse_args(rest)
    if cmd == "start":
        info, wall, guest = session.start(sub.timeout, say=say)
        if wall is None:
            say("a device runs already (since %s, qemu PID %d); nothing booted"
                % (time.strftime("%H:%M:%S", time.localtime(info["since"])), info["pid"]))
        else:
            say("up after %.1f s of guest time (%.1f s wall), qemu PID %d" % (guest, wall, info["pid"]))
        say("reach it: ./dev device exec [--root] -- CMD, ./dev device (its console), "
            "./dev device install, ./dev device logs [-f], ./dev device stop")
        return 0
    if cmd == "stop":
        said = {"none": "no device runs; nothing to stop", "off": "the device is off",
                "died": "the device had died (qemu gone); cleaned up"}
        say(said[session.stop()])
        return 0
    if cmd == "status":
        return session_status(session)
    if cmd == "exec":
        command = sub.command[1:] if sub.command[:1] == ["--"] else sub.command
        if not command:
            q.error("exec: no command after --")
        return session_exec(session, command, sub.root, sub.timeout, sub.channel)
    if cmd == "install":
        session.install(sub.paths, say=lambda line: print(line, flush=True))
        return 0
    if sub.name is not None and not re.match(r"^[A-Za-z0-9_.-]+$", sub.name):
        q.error("logs: %r is not a log's name" % sub.name)

    def line(raw, name):
        if not write_out((name + "| " if name else "").encode() + raw + b"\n"):
            raise BrokenPipeError()

    try:
        session.logs(sub.name, sub.follow, line)
    except BrokenPipeError:
        return BENCH_FAILURE
    return 0


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
    session = Session(args.build_dir) if args.build_dir and os.path.isdir(args.build_dir) else None
    command = args.command
    if command and command[0] in SESSION:
        if session is None:
            say("no armhf build at %s (build it: ./dev build --arch armhf)" % args.build_dir)
            return USAGE_ERROR
        rest = command[1:]
        command = None
    elif command and command[0] == "--":
        command = command[1:]
    elif command:
        p.error("unknown argument %s (a command goes after --)" % command[0])
    # Closing the terminal or a kill ends what this started (a booting device, a command's
    # processes on the device) as Ctrl-C does.
    def ended(sig, _):
        say("ended by signal %d; what this started is ended" % sig)
        sys.exit(128 + 15)

    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, ended)
    # A mask inherited with them blocked would hold them back (and qemu would inherit it).
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM, signal.SIGHUP, signal.SIGINT})
    try:
        if args.keys:
            if command or args.command:
                p.error("--keys takes no command")
            try:
                return send_keys(args.keys, session)
            except VMError as e:
                say(str(e))
                return 2
        if command is None and args.command:
            if args.command[0] in SESSION:
                return session_main(session, args, rest)
            p.error("no command after --")
        if not args.build_dir or not os.path.isfile(os.path.join(args.build_dir, "bin", "agent")):
            say("no armhf build at %s (build it: ./dev build --arch armhf)" % args.build_dir)
            return 2
        info = session.read()
        if info is not None and not session.alive(info):
            session.cleanup(info)
            say(session._died(info) + "; cleaned up")
        elif info is not None:
            # A started device: the command runs there, the console is its console.
            if command:
                return session_exec(session, command, False, args.timeout)
            say("the started device's console; Ctrl-] leaves it (./dev device stop powers off)")
            session.attach()
            return 0
        return run_device(args, command or None)
    except (NoDevice, DeviceDied) as e:
        say(str(e))
        return BENCH_FAILURE
    except TimeLimit as e:
        say(str(e))
        return TIME_LIMIT
    except LookupError as e:  # not a deliverable, no such log
        say(e.args[0])
        return USAGE_ERROR
    except VMSkip as e:
        say("cannot run: %s" % e)
        return SKIP
    except VMError as e:
        say(str(e))
        return BENCH_FAILURE
    except KeyboardInterrupt:
        say("interrupted; what it started on the device ended" if session and session.read() else
            "interrupted; qemu ended")
        return 130
