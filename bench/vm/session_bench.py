#!/usr/bin/env python3
"""The device as a session, as `device|measure|ours|baseline|ratio|goal|note` rows: start to
ready (wall beside guest clock); exec of `true` through the command line (median of 20) beside
the same command line on a bare armhf guest's agent; and the edit-try loop (install a changed
module until its first report of a typed arrow) beside a reboot that does the same."""
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

import vm
from vm.device import AGENT_SCRIPT, AgentLayout
from vm.device_channel import PORT_NAME
from vm.device_session import Session

RUNS = 20
LOOPS = 3
LINE = b"orientation changed"


def row(measure, ours, base, goal, note):
    ratio = "%.2f" % (ours / base) if base else "-"
    print("device|%s|%.3f|%s|%s|%s|%s" % (measure, ours, "%.3f" % base if base else "-", ratio, goal, note),
          flush=True)


def cli(build_dir, *args):
    r = subprocess.run([sys.executable, "-m", "vm", "device", "-b", build_dir] + list(args),
                       capture_output=True, timeout=120)
    if r.returncode != 0:
        raise vm.VMError("device %s: status %d: %s" % (" ".join(args), r.returncode, r.stderr.decode()[-300:]))
    return r.stdout.decode("utf-8", "replace")


def timed(argv):
    t = time.monotonic()
    r = subprocess.run(argv, capture_output=True, timeout=60)
    if r.returncode != 0:
        raise vm.VMError("%s: status %d: %s" % (argv[-1], r.returncode, r.stderr.decode()[-300:]))
    return time.monotonic() - t


def exec_median(build_dir, extra):
    argv = [sys.executable, "-m", "vm", "device", "-b", build_dir, "exec"] + extra + ["--", "true"]
    return statistics.median(timed(argv) for _ in range(RUNS))


def bare_exec(build_dir, tmp):
    sock = os.path.join(tmp, "agent.sock")
    port = ["-device", "virtio-serial-device", "-chardev", "socket,id=agent,path=%s,server=on,wait=off" % sock,
            "-device", "virtserialport,chardev=agent,name=" + PORT_NAME]
    with vm.VM(build_dir, AGENT_SCRIPT, timeout=240, arch="armhf", layout=AgentLayout(), memory=256,
               qemu_args=port, echo=False) as g:
        g.expect(r"^agent up$", 120)
        # The same command line, as root: the bare guest has no users.
        return exec_median(build_dir, ["--root", "--channel", sock])


def first_report(build_dir, pattern, limit=60):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if re.search(pattern, cli(build_dir, "logs", "sensors"), re.M):
            return
        time.sleep(0.05)
    raise vm.VMError("no %r in the sensor service's log" % pattern)


def edit_try(build_dir, tmp):
    with open(os.path.join(build_dir, "lib", "sensors.vardel.so"), "rb") as f:
        module = f.read()
    times = []
    for i in range(LOOPS):
        # Each round a module that differs from the one installed: one log line changed.
        line = b"orientation CHANGE%d" % i
        path = os.path.join(tmp, str(i), "sensors.vardel.so")
        os.makedirs(os.path.dirname(path))
        with open(path, "wb") as f:
            f.write(module.replace(LINE, line[:len(LINE)]))
        t = time.monotonic()
        cli(build_dir, "install", path)
        cli(build_dir, "--keys", "down")
        first_report(build_dir, r"%s from 0 to 180" % line.decode())
        times.append(time.monotonic() - t)
    return statistics.median(times)


def reboot_try(build_dir):
    """The same through a boot: the device up, the arrow typed, the first report."""
    t = time.monotonic()
    with vm.Device(build_dir, "tail -n +1 -f /data/log/sensors.log & read line; kill $!", timeout=240,
                   env={"DEVICE_USER": "root"}, echo=False) as g:
        g.expect(r"^vm: guest ready$", 200)
        g.type_keys(["down"])
        g.expect(r"orientation changed from 0 to 180", 30)
        spent = time.monotonic() - t
        g.send_line("done")
        g.wait(30)
    return spent


def main(build_dir):
    tmp = tempfile.mkdtemp(prefix="device-bench-")
    os.environ["VM_DEVICE_STATE"] = os.path.join(tmp, "state")
    session = Session(build_dir)
    try:
        info, wall, guest = session.start(300, say=lambda _: None)
        row("start to ready, wall s", wall, guest, "-", "baseline: the guest's own clock to the same point "
            "(TCG, no KVM: the wall clock carries the host's load)")
        ours = exec_median(build_dir, [])
        base = bare_exec(build_dir, tmp)
        note = ("python3 -m vm device exec -- true, median of %d; baseline the same command line through a bare "
                "armhf guest's agent (busybox and the agent alone, as root)" % RUNS)
        row("exec true, wall s", ours, None, "<= 1", note)
        row("exec true beside the bare channel, wall s", ours, base, "<= 1.2x", "")
        ours = edit_try(build_dir, tmp)
        session.stop()
        base = reboot_try(build_dir)
        row("edit-try loop, wall s", ours, base, "<= 0.2x", "install a changed sensors.vardel.so until its first "
            "report of a typed arrow, median of %d; baseline a boot (./dev device -- ...) to the same report, "
            "its image already built" % LOOPS)
    finally:
        session.stop()
        subprocess.run(["rm", "-rf", tmp])


if __name__ == "__main__":
    try:
        main(sys.argv[1])
    except vm.VMSkip as e:
        print("device|session skipped|-|-|-|-|%s" % e)
    except vm.VMError as e:
        print("device session bench: %s" % e, file=sys.stderr)
        sys.exit(1)
