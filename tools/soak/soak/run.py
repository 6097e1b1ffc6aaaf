"""One soak on the device: the plan's steps at their times, each checked against what the
guest reports (tools/soak/guest.sh), a progress line, the table and the picture."""
import json
import os
import sys
import time

from vm import device as vmdevice
from vm.keys import KEY_CODES

from . import account, report
from .plan import format_step

GUEST_SH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "guest.sh")
DELAYS = ("200000000", "66667000", "20000000", "0")
STEP_LIMIT = 90.0  # a guest step that takes longer has hung


class Failed(Exception):
    pass


class Soak:
    def __init__(self, g, seed, minutes, plan, progress):
        self.g, self.seed, self.minutes, self.plan = g, seed, minutes, plan
        self.progress = progress
        self.counts = {p: {"ops": 0, "faults": 0, "errors": 0} for p in
                       ("keys", "sensors", "agent", "registry")}
        self.counts["keys"].update(typed=0, delivered=0, traceless=0, stalled=0, lost=0, stuck=0)
        self.resources = {}
        self.enabled, self.rotation, self.delay = True, None, 0
        self.samples_up = True
        self.next_id = 0
        self.elapsed = None

    def cmd(self, action, *args):
        self.next_id += 1
        i = self.next_id
        mark = self.g.mark()
        self.g.send_line(" ".join((str(i), action) + tuple(str(a) for a in args)))
        self.g.expect(r"^soak: %d end$" % i, STEP_LIMIT, since=mark)
        out = [m.group(1) for m in self.g.matching(r"^soak: %d (.*)$" % i, since=mark)]
        return out[:out.index("end")]

    def fail(self, part, errors):
        if errors:
            self.counts[part]["errors"] += len(errors)
            raise Failed("; ".join(errors))

    def run(self):
        m = self.g.expect(r"^soak: ready (\d+)$", 240)
        self.next_event = int(m.group(1))
        self.burst = account.Burst([], [], True)
        self.start = time.monotonic()
        last_progress = 0.0
        for n, step in enumerate(self.plan):
            t = step[0]
            wait = self.start + t - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                self.step(step)
            except (Failed, vmdevice.VMError) as e:
                # A guest step that never ends is a hang of what it drove.
                raise Failed("step %d (%s): %s" % (n + 1, format_step(step).strip(), str(e).splitlines()[0]))
            if time.monotonic() - last_progress >= (1.0 if self.progress.isatty() else 15.0):
                last_progress = time.monotonic()
                self.show()
        self.cmd("quit")
        self.elapsed = time.monotonic() - self.start
        if self.progress.isatty():
            self.progress.write("\n")

    def show(self):
        c = self.counts
        line = "soak %5.0f s: keys %d strokes, sensors %d, agent %d, registry %d ops; faults %d" % (
            time.monotonic() - self.start, c["keys"]["typed"], c["sensors"]["ops"],
            c["agent"]["ops"], c["registry"]["ops"], sum(p["faults"] for p in c.values()))
        self.progress.write(("\r" + line + "  ") if self.progress.isatty() else line + "\n")
        self.progress.flush()

    def step(self, step):
        t, part, action, args = step
        handler = getattr(self, "do_" + action)
        handler(*args)

    # -- keys and the sensor service

    def do_press(self, key, hold):
        self.g.type_line("press %d %d" % (KEY_CODES[key], int(hold * 1000)))
        self.burst.strokes.append((key, self.next_event))
        self.next_event += 2

    def do_stop(self):
        out = self.cmd("stop")
        n = out[0].split()[1]
        # A service that never settled: the whole burst so far may be lost with the stall.
        self.stall_from = int(n) if n.isdigit() else min([i for _, i in self.burst.strokes] +
                                                          [self.next_event])
        self.counts["sensors"]["faults"] += 1

    def do_cont(self):
        out = self.cmd("cont")
        self.burst.stalls.append((self.stall_from, int(out[0].split()[1])))

    def do_quiet(self):
        # A last Esc marks the end: once the virtual device has its release, the service
        # has handled every event before it (and printed their reports).
        self.do_press("esc", 0.03)
        marks = sum(1 for k, i in self.burst.strokes if k == "esc" and not self.burst.stalled(i))
        out = dict(l.split(" ", 1) if " " in l else (l, "")
                   for l in self.cmd("quiet", self.next_event, marks))
        if int(out["typed"]) != self.next_event:
            self.fail("keys", ["the keyboard typed %s of %d events" % (out["typed"], self.next_event)])
        downs = {}
        for code in out["downs"].split():
            downs[int(code)] = downs.get(int(code), 0) + 1
        held = out["held"].split()
        reports = [int(r) for r in out["reports"].split()]
        c = self.counts["keys"]
        c["stuck"] += len(held)
        errors, self.rotation = account.account_keys(self.burst, self.rotation, downs, reports, held, c)
        c["ops"] += len(self.burst.strokes)
        self.burst = account.Burst([], [], self.enabled)
        self.fail("keys", errors)

    def do_toggle(self):
        out = self.cmd("toggle")
        self.counts["sensors"]["ops"] += 1
        want = "activate %d" % (0 if self.enabled else 1)
        if out != [want]:
            self.fail("sensors", ["SIGUSR1 gave %r, wanted %r" % (out, want)])
        self.enabled = not self.enabled
        self.burst.enabled = self.enabled

    def do_delay(self):
        out = self.cmd("delay")
        self.counts["sensors"]["ops"] += 1
        want = "delay " + DELAYS[self.delay % len(DELAYS)]
        self.delay += 1
        if out != [want]:
            self.fail("sensors", ["SIGUSR2 gave %r, wanted %r" % (out, want)])

    # -- the agent

    def split(self, out):
        got = {"daemon": [], "agent": [], "out": []}
        status = None
        for l in out:
            word, _, rest = l.partition(" ")
            if word in got:
                got[word].append(rest)
            elif word == "exit":
                status = int(rest.split()[-1])
            elif word == "status":
                status = int(rest)
            else:
                got.setdefault(word, []).append(rest)
        return got, status

    def do_round(self, *members):
        got, status = self.split(self.cmd("round", ",".join(members)))
        sent = list(members[:members.index("Release") + 1])
        errors = account.account_round(sent, got["daemon"], got["agent"], status, self.counts["agent"])
        self.fail("agent", errors + ["guest: %s" % " ".join(v) for k, v in got.items()
                                     if k not in ("daemon", "agent", "out") and v])

    def do_restart(self):
        self._end("restart")

    def do_term(self):
        self._end("term")

    def _end(self, how):
        got, status = self.split(self.cmd(how))
        path = (got.get("path") or [""])[0]
        errors = account.account_end(how, got["agent"], status, got["daemon"], path, self.counts["agent"])
        self.fail("agent", errors)

    def do_stranger(self, what):
        got, status = self.split(self.cmd("stranger", what))
        self.counts["agent"]["ops"] += 1
        text = "\n".join(got["out"])
        want = ("org.freedesktop.DBus.Error.AccessDenied" if what == "call" else "cannot take the bus name")
        if status != 1 or want not in text:
            self.fail("agent", ["another user's %s was not refused: %r, status %r" % (what, text, status)])

    def do_pair(self):
        got, status = self.split(self.cmd("pair"))
        self.counts["agent"]["ops"] += 1
        lines = account.agent_lines(got["agent"])
        want = [account.CALLS["RequestPinCode"][2], account.CALLS["Release"][2]]
        errors = []
        if status != 0 or lines != want:
            errors.append("pairing agent: %r, status %r" % (lines, status))
        if not any(l.startswith("CreatePairedDevice ") for l in got["daemon"]):
            errors.append("the daemon saw no pairing request: %r" % got["daemon"])
        self.fail("agent", errors)

    # -- the registry

    def _service(self, op, name=""):
        got, status = self.split(self.cmd(op, name) if name else self.cmd(op))
        errors = account.account_service(op, name, self.samples_up, got["out"], status,
                                         self.counts["registry"])
        self.fail("registry", errors)

    def do_list(self):
        self._service("list")

    def do_check(self, name):
        self._service("check", name)

    def do_call(self, name):
        self._service("call", name)

    def do_kill(self):
        self.cmd("kill")
        self.samples_up = False
        self.counts["registry"]["faults"] += 1

    def do_start(self):
        out = self.cmd("start")
        self.samples_up = True
        if out:
            self.fail("registry", out)

    # -- resources

    def do_sample(self):
        out = self.cmd("sample")
        died = [l for l in out if l.startswith("died ")]
        if died:
            raise Failed("a process died unasked: %s" % ", ".join(l[5:] for l in died))
        t = time.monotonic() - self.start
        for l in out:
            w = l.split()
            if w[0] == "res" and len(w) == 5:
                self.resources.setdefault(w[1], []).append((t, int(w[3]), int(w[4]), w[2]))


def soak(build_dir, seed, minutes, plan, out_dir, progress=sys.stdout):
    """Runs the soak; returns 0 when everything was accounted for, 1 otherwise."""
    os.makedirs(out_dir, exist_ok=True)
    base = os.path.join(out_dir, "soak-%d" % seed)
    with open(GUEST_SH) as f:
        guest = vmdevice.GUEST_HELPERS + "DEV=%s\nUUID=%s\n" % (account.DEV, account.AUTH_UUID) + f.read()
    failure = None
    with open(base + ".log", "w") as console:
        limit = minutes * 60 * 2 + 600
        with vmdevice.Device(build_dir, guest, timeout=limit, env={"DEVICE_USER": "root"},
                             echo=console) as g:
            s = Soak(g, seed, minutes, plan, progress)
            try:
                s.run()
                g.wait(60)
            except Failed as e:
                failure = str(e)
            except vmdevice.VMError as e:
                failure = "the device: %s" % str(e).splitlines()[0]
    duration = minutes * 60.0
    rows, growth_errors = report.resource_rows(s.resources, duration)
    text = report.table(seed, minutes, s.counts, rows)
    if failure is None and growth_errors:
        failure = "; ".join(growth_errors)
    with open(base + ".txt", "w") as f:
        f.write(text)
        if failure:
            f.write("\nFAILED: %s\n" % failure)
    with open(base + ".json", "w") as f:
        json.dump({"seed": seed, "minutes": minutes, "failure": failure, "counts": s.counts,
                   "seconds": s.elapsed, "resources": s.resources,
                   "growth": {r[0]: r[-1] for r in rows}}, f)
    progress.write("\n" + text)
    progress.write("table: %s.txt\n" % base)
    if report.picture(s.resources, base + ".png", "soak seed %d, %g min" % (seed, minutes)):
        progress.write("picture: %s.png\n" % base)
    progress.write("console: %s.log\n" % base)
    if failure:
        progress.write("soak FAILED (seed %d, %g minutes; replay: ./dev soak --seed %d --minutes %g): %s\n"
                       % (seed, minutes, seed, minutes, failure))
        return 1
    progress.write("soak passed (seed %d, %g minutes)\n" % (seed, minutes))
    return 0
