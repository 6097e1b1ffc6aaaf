#!/usr/bin/env python3
"""The session's parts that need no guest: the agent's client against a scripted agent on a
unix socket (a reply queued for a client that left, errors, silence, a close mid-reply, a
signal's status), and the command line's answers with no device, a dead one, a PID that was
reused, a damaged state and files that are not deliverables."""
import base64
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

from vmtest import check, run, vm
from vm.device_channel import Channel


def agent(path, script):
    """Serves one connection: for each request line, script(request) gives the bytes to send;
    a tuple (bytes,) sends them and closes."""
    srv = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    srv.bind(path)
    srv.listen(1)

    def serve():
        conn, _ = srv.accept()
        with conn, conn.makefile("rb") as f:
            for line in f:
                req = json.loads(line.strip(b"\xff"))
                out = script(req)
                conn.sendall(out[0] if isinstance(out, tuple) else out)
                if isinstance(out, tuple):
                    return
        srv.close()

    threading.Thread(target=serve, daemon=True).start()


def reply(value):
    return json.dumps({"return": value}).encode() + b"\n"


def sync_then(answers):
    """The sync answered after a stale reply (one meant for a client that left), then `answers`."""
    it = iter(answers)

    def script(req):
        if req["execute"] == "guest-sync-delimited":
            return reply(41) + b"\xff" + reply(req["arguments"]["id"])
        return next(it)
    return script


EXITED = {"exited": True, "signal": 9, "out-data": base64.b64encode(b"a\0b").decode()}
# name, what the agent sends after the sync, the call, what comes back (or the error's text)
CHANNEL_CASES = [
    ("stale reply skipped", [reply({"pid": 7})], ("guest-exec", {}), {"pid": 7}),
    ("error reply", [b'{"error": {"desc": "no such file"}}\n'], ("guest-exec", {}), "no such file"),
    ("closed mid-reply", [(b'{"return": ',)], ("guest-ping", None), "closed"),
    ("never answers", [b""], ("guest-ping", None), "did not answer"),
    ("not JSON", [b"\x01garbage\n"], ("guest-ping", None), "not JSON"),
]


def channel_cases(tmp):
    for i, (name, answers, call, want) in enumerate(CHANNEL_CASES):
        path = os.path.join(tmp, "a%d.sock" % i)
        agent(path, sync_then(answers))
        with Channel(path, timeout=1.0) as ch:
            try:
                got = ch.call(*call)
            except vm.VMError as e:
                got = str(e)
        check(got == want if isinstance(want, dict) else want in str(got), "%s: %r" % (name, got))
    path = os.path.join(tmp, "status.sock")
    agent(path, sync_then([reply(EXITED)]))
    with Channel(path, timeout=1.0) as ch:
        got = ch.status(7)
    check(got == (137, b"a\0b", b"", False), "a signal's status: %r" % (got,))


def cli(build, state, *args):
    env = dict(os.environ, VM_DEVICE_STATE=state)
    r = subprocess.run([sys.executable, "-m", "vm", "device", "-b", build] + list(args), env=env,
                       capture_output=True, text=True, timeout=60)
    return r.returncode, r.stderr


def ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        return int(f.read().rsplit(")", 1)[1].split()[19])


def cli_cases(tmp):
    build = os.path.join(tmp, "build")
    os.makedirs(os.path.join(build, "bin"))
    state = os.path.join(tmp, "state")
    # An x86 program by a deliverable's name: not something the device can run.
    shutil.copy(sys.executable if os.path.isfile(sys.executable) else "/bin/sh", os.path.join(build, "bin", "agent"))
    none = [(("status",), 3, "no device runs"), (("stop",), 0, "nothing to stop"),
            (("exec", "--", "true"), 125, "no device runs"), (("logs",), 125, "no device runs"),
            (("install", "/etc/passwd"), 2, "is not a deliverable"),
            (("install", os.path.join(build, "bin", "agent")), 2, "not an armhf build")]
    for args, status, text in none:
        rc, err = cli(build, state, *args)
        check(rc == status and text in err, "%s with no device: %d %s" % (" ".join(args), rc, err))
    sleeper = subprocess.Popen(["sleep", "60"])
    try:
        # A live process with the recorded PID but another start time: a reused PID, not qemu.
        for info, what in (({"pid": sleeper.pid, "ticks": ticks(sleeper.pid) + 1, "since": 0, "sockets": state},
                            "a reused PID"), ("{not json", "a damaged state")):
            os.makedirs(state)
            with open(os.path.join(state, "state.json"), "w") as f:
                f.write(info if isinstance(info, str) else json.dumps(info))
            rc, err = cli(build, state, "status")
            check(rc == 1 and "the device died" in err, "status, %s: %d %s" % (what, rc, err))
            rc, err = cli(build, state, "exec", "--", "true")
            check(rc == 125 and "cleaned up" in err and not os.path.exists(state),
                  "exec, %s: %d %s" % (what, rc, err))
        check(sleeper.poll() is None, "the clean-up killed a process that was not qemu")
    finally:
        sleeper.kill()
        sleeper.wait()


def body(build_dir):
    tmp = tempfile.mkdtemp(prefix="device-channel-")
    try:
        channel_cases(tmp)
        cli_cases(tmp)
    finally:
        shutil.rmtree(tmp)


run(body)
