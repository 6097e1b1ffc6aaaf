#!/usr/bin/env python3
"""The device: one boot of the armhf build with the three deliverables at their platform
paths, left running while the host works with it as a developer would: commands as the user
shell, keys typed into its keyboard, a changed module installed and loaded, the logs, stop."""
import os
import re
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ARMHF = os.path.join(ROOT, "build-armhf")
ENV = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "tools", "vm"))
SKIP = 77
LINE = b"orientation changed"


def say(text):
    print("host: " + text, flush=True)


def device(*args, show=True, check=True):
    """`./dev device ARGS` (without its build step: the demo built already), shown as typed."""
    if show:
        print("\n$ ./dev device %s" % " ".join(a if re.match(r"^[\w./:=-]+$", a) else "'%s'" % a for a in args),
              flush=True)
    r = subprocess.run([sys.executable, "-m", "vm", "device", "-b", ARMHF] + list(args), env=ENV,
                       capture_output=True, text=True, timeout=400)
    if r.returncode == SKIP:
        raise Skip(r.stderr.strip())
    if show:
        out = "".join(l + "\n" for l in (r.stdout + r.stderr).splitlines() if " D " not in l[:13])
        sys.stdout.write(out)
    if check and r.returncode != 0:
        raise Failed("./dev device %s: status %d" % (" ".join(args), r.returncode))
    return r.stdout


class Skip(Exception):
    pass


class Failed(Exception):
    pass


def until(pattern, limit=30):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if re.search(pattern, device("logs", "sensors", show=False), re.M):
            return
        time.sleep(0.3)
    raise Failed("no %r in the sensor service's log" % pattern)


def session(tmp):
    t0 = time.monotonic()
    device("start")
    say("booted once, %.1f s; everything below runs on that device" % (time.monotonic() - t0))
    device("exec", "--", "id")
    device("exec", "--", "timeout -s KILL 30 agent 0000; echo \"(exit status $?)\"")
    device("exec", "--", "cat /data/log/btdaemon.log")
    device("exec", "--", "service list; service call echo 1 i32 7")
    for key, deg in (("down", 180), ("right", 90), ("left", 270), ("up", 0)):
        device("--keys", key)
        until(r"^report rotation=%d " % deg)
    say("the sensor service's reports of the four arrows:")
    print("".join(l + "\n" for l in device("logs", "sensors", show=False).splitlines()
                  if l.startswith("report ")), end="", flush=True)

    say("the edit-try loop: one log line of the module changed, rebuilt, installed, tried")
    with open(os.path.join(ARMHF, "lib", "sensors.vardel.so"), "rb") as f:
        module = f.read()
    new = os.path.join(tmp, "sensors.vardel.so")
    with open(new, "wb") as f:
        f.write(module.replace(LINE, b"orientation CHANGED"))
    t = time.monotonic()
    device("install", new)
    device("--keys", "down")
    until(r"orientation CHANGED from 0 to 180")
    say("the new module's first report %.1f s after the install began" % (time.monotonic() - t))
    print("".join(l + "\n" for l in device("logs", show=False).splitlines() if "CHANGED" in l), end="")
    device("status")
    device("stop")


def main():
    if not os.access(os.path.join(ARMHF, "bin", "agent"), os.X_OK):
        print("device demo: no armhf build in %s; './dev build --arch armhf' makes one" % ARMHF, flush=True)
        return SKIP
    with tempfile.TemporaryDirectory(prefix="device-demo-") as tmp:
        # A device of its own, whatever the developer has started.
        ENV["VM_DEVICE_STATE"] = os.path.join(tmp, "state")
        try:
            session(tmp)
            return 0
        except Skip as e:
            say("skipped, cannot run here: %s" % e)
            return SKIP
        except (Failed, subprocess.TimeoutExpired) as e:
            say("failed: %s" % e)
            return 1
        finally:
            device("stop", show=False, check=False)


if __name__ == "__main__":
    sys.exit(main())
