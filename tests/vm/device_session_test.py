#!/usr/bin/env python3
"""The device as a session, through its command line and one boot: start (twice), commands
with their output, errors and statuses, a long one beside a short one, the console on a
terminal; a rebuilt module installed and loaded by the sensor service, which reports the
typed arrow with the new module's log line; logs, followed; a qemu killed from outside, which
status and the next exec report; stop; nothing of it left behind."""
import json
import os
import pty
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

from vmtest import check, run, vm

# command, --root, stdout, stderr pattern, status
EXECS = [
    ("echo hello", False, b"hello\n", None, 0),
    ("id -un; pwd", False, b"shell\n/data/local/tmp\n", None, 0),
    ("id -un; pwd", True, b"root\n/tmp\n", None, 0),
    ("exit 3", False, b"", None, 3),
    ("nosuchcmd", False, b"", r"^sh: nosuchcmd: not found$", 127),
    ("read line; echo read $?", False, b"read 1\n", None, 0),  # stdin is closed
    ("echo out; echo err >&2; exit 5", False, b"out\n", r"^err$", 5),
    ("kill -9 $$", False, b"", None, 137),
    ("printf 'a\\000b\\377'", False, b"a\0b\xff", None, 0),
    ("service check echo", False, b"Service echo: found\n", None, 0),
    (os.fsdecode(b"echo \xff"), False, b"\xff\n", None, 0),  # not UTF-8: the agent's JSON cannot carry it
]
LOG_LINE = b"orientation changed"
NEW_LINE = b"orientation CHANGED"


def argv(*args):
    return [sys.executable, "-m", "vm", "device", "-b", BUILD] + list(args)


def cli(*args, timeout=120):
    r = subprocess.run(argv(*args), capture_output=True, timeout=timeout)
    if r.returncode == vm.SKIP:
        raise vm.VMSkip(r.stderr.decode().strip())
    return r.returncode, r.stdout, r.stderr.decode("utf-8", "replace")


def until(args, pattern, tries=30):
    """A command's output until it matches (a bounded poll: 0.5 s apart)."""
    for _ in range(tries):
        rc, out, err = cli(*args)
        if re.search(pattern, out.decode("utf-8", "replace"), re.M):
            return out.decode()
        time.sleep(0.5)
    raise AssertionError("no %r in %s: %s %s" % (pattern, args, out[-600:], err))


def read_until(fd, pattern, limit=30):
    """Output of `fd` until `pattern` (bytes regex) shows, within `limit` s."""
    buf, end = b"", time.monotonic() + limit
    while not re.search(pattern, buf):
        left = end - time.monotonic()
        check(left > 0 and select.select([fd], [], [], left)[0], "no %r in %r" % (pattern, buf[-300:]))
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # a pty reads EIO once its other side closed
            chunk = b""
        check(chunk, "closed before %r: %r" % (pattern, buf[-300:]))
        buf += chunk
    return buf


def console():
    """The started device's console on a terminal: a command there, then Ctrl-] leaves it."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(sys.executable, argv())
    try:
        read_until(fd, rb"vardel:/data/local/tmp \$ ")
        os.write(fd, b"echo at-$((6*7))\r")
        read_until(fd, rb"at-42")
        os.write(fd, b"\x1d")
        _, st = os.waitpid(pid, 0)
        pid = None
        check(os.waitstatus_to_exitcode(st) == 0, "the console's status: %r" % st)
    finally:
        if pid:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        os.close(fd)


def body(build_dir):
    global BUILD
    BUILD = build_dir
    tmp = tempfile.mkdtemp(prefix="device-session-")
    state = os.path.join(tmp, "state")
    os.environ["VM_DEVICE_STATE"] = state
    try:
        session(tmp, state)
    finally:
        cli("stop")
        subprocess.run(["rm", "-rf", tmp])


def session(tmp, state):
    rc, _, err = cli("start", timeout=280)
    check(rc == 0 and "up after" in err, "start: %d %s" % (rc, err))
    rc, _, err = cli("start")
    check(rc == 0 and "runs already" in err, "second start: %d %s" % (rc, err))
    info = json.load(open(os.path.join(state, "state.json")))

    for i in range(20):
        cmd, root, out, err_rx, status = EXECS[i % len(EXECS)]
        rc, got, err = cli(*(["exec"] + (["--root"] if root else []) + ["--", cmd]))
        check((rc, got) == (status, out), "exec %r: status %d, output %r (%s)" % (cmd, rc, got, err))
        check(err_rx is None or re.search(err_rx, err, re.M), "exec %r: stderr %r" % (cmd, err))
    rc, _, err = cli("exec", "-t", "2", "--", "sleep 30 & sleep 40")
    check(rc == 124 and "time limit of 2 s" in err, "time limit: %d %s" % (rc, err))
    rc, got, _ = cli("exec", "--root", "--", "ps -o args | grep -c '^sleep'")
    check(got == b"0\n", "the timed-out command's processes remain: %r" % got)
    # A long command lets go of the channel: a short one ends first.
    long = subprocess.Popen(argv("exec", "--", "sleep 4; echo long"), stdout=subprocess.PIPE)
    try:
        time.sleep(0.5)
        rc, got, _ = cli("exec", "--", "echo short")
        check(rc == 0 and long.poll() is None, "a short command waited for a long one: %d" % rc)
        check(long.communicate(timeout=60)[0] == b"long\n", "the long command's output")
    finally:
        long.kill()
        long.wait()
    console()
    rc, got, _ = cli("exec", "--", "echo still here")
    check(got == b"still here\n", "the device after the console was left: %d %r" % (rc, got))

    # A rebuilt module: the same build with one log line changed.
    with open(os.path.join(BUILD, "lib", "sensors.vardel.so"), "rb") as f:
        module = f.read()
    check(module.count(LOG_LINE) == 1, "the module's log line is not in the build")
    os.makedirs(os.path.join(tmp, "new"))
    new = os.path.join(tmp, "new", "sensors.vardel.so")
    with open(new, "wb") as f:
        f.write(module.replace(LOG_LINE, NEW_LINE))
    stat = ["exec", "--root", "--", "stat -c '%U:%G %a' /system/lib/hw/sensors.vardel.so"]
    before = cli(*stat)[1]
    rc, out, err = cli("install", new)
    check(rc == 0 and re.search(rb"sensors.vardel.so: \d+ bytes, sha256 \w+ -> \d+ bytes", out)
          and b"restarted sensors" in out, "install: %d %s %s" % (rc, out, err))
    check(cli(*stat)[1] == before == b"root:root 644\n", "owner and mode: %r then %r" % (before, cli(*stat)[1]))
    rc, out, _ = cli("install", new)
    check(rc == 0 and b"unchanged" in out, "a second install: %r" % out)
    for bad in (os.path.join(BUILD, "CMakeCache.txt"), "/bin/true"):
        rc, _, err = cli("install", bad)
        check(rc == 2 and "is not a deliverable" in err, "install %s: %d %s" % (bad, rc, err))

    rc, _, err = cli("--keys", "down")
    check(rc == 0, "keys: %d %s" % (rc, err))
    until(["logs", "sensors"], r"orientation CHANGED from 0 to 180")
    log = until(["logs", "sensors"], r"^report rotation=180 ")
    check("orientation changed" not in log, "the old module's line in the new log: %s" % log)
    rc, out, _ = cli("logs")
    lines = out.decode().splitlines()
    check(rc == 0 and any(re.match(r"^sensors\| .*orientation CHANGED from 0 to 180$", l) for l in lines)
          and any(l.startswith("init| ") for l in lines), "logs: %d %s" % (rc, out[-400:]))
    follow = subprocess.Popen(argv("logs", "-f", "sensors"), stdout=subprocess.PIPE)
    try:
        read_until(follow.stdout.fileno(), rb"from 0 to 180")  # what the log had
        cli("--keys", "up")
        read_until(follow.stdout.fileno(), rb"orientation CHANGED from 180 to 0")  # what it gained
        follow.send_signal(signal.SIGINT)
        check(follow.wait(30) == 130, "logs -f after Ctrl-C: %r" % follow.returncode)
    finally:
        follow.kill()
        follow.wait()
    rc, _, err = cli("logs", "nope")
    check(rc == 2 and "no log nope" in err, "logs nope: %d %s" % (rc, err))

    os.kill(info["pid"], 9)
    rc, _, err = cli("status")
    check(rc == 1 and "the device died" in err, "status after the kill: %d %s" % (rc, err))
    rc, _, err = cli("exec", "--", "true")
    check(rc == 125 and "the device died" in err and "cleaned up" in err, "exec after the kill: %d %s" % (rc, err))
    rc, _, err = cli("status")
    check(rc == 3 and "no device runs" in err, "status after the clean-up: %d %s" % (rc, err))
    rc, _, err = cli("stop")
    check(rc == 0 and "no device runs" in err, "stop: %d %s" % (rc, err))

    left = subprocess.run(["pgrep", "-f", state], capture_output=True, text=True).stdout.split()
    check(not left, "processes left: %s" % left)
    check(not os.path.exists(state) and os.listdir(tmp) == ["new"], "files left: %s" % os.listdir(tmp))


run(body)
