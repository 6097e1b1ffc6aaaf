"""One soak on the device: the plan's steps at their times, each checked against what the
guest reports (tools/soak/guest.sh), a progress line, the table and the picture."""
import json
import os
import sys
import threading
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


COLLECT_EVERY = 5.0  # s between fetches of the ground truth and the module's record
SETTLE_LIMIT = 60.0  # s for the last strokes to come through at the end


def stream_of(step):
    """The worker that takes a step: faults and signals on their own, so that a slow
    step elsewhere never delays them; keys from the host, not through the guest."""
    _, part, action, _ = step
    if action in ("kill", "start"):
        return "samples"
    if part == "sensors":
        return "fault"
    return {"keys": "keys", "agent": "agent", "registry": "registry", "resources": "record"}[part]


class Soak:
    def __init__(self, g, seed, minutes, plan, progress):
        self.g, self.seed, self.minutes, self.plan = g, seed, minutes, plan
        self.progress = progress
        self.counts = {p: {"ops": 0, "faults": 0, "errors": 0} for p in
                       ("keys", "sensors", "agent", "registry")}
        self.resources = {}
        self.enabled, self.delay = True, 0
        self.transitions = []  # the samples killed or started: (host from, to, up after)
        self.stalls, self.stall_from = [], None
        self.truth, self.shadow, self.record = [], [], []
        self.late = {}
        self.next_id = 0
        self.start = time.monotonic()
        self.sent = []  # (id, worker, action, s after the start): what went when
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.failure = None
        self.elapsed = None
        self.strokes, self.rates = {}, None

    def cmd(self, worker, *words):
        with self.lock:
            self.next_id += 1
            i = self.next_id
            mark = self.g.mark()
            self.g.send_line(" ".join((str(i), worker) + tuple(str(w) for w in words)))
            self.sent.append((i, worker, words[0] if words else "", round(time.monotonic() - self.start, 2)))
        self.g.expect(r"^soak: %d end$" % i, STEP_LIMIT, since=mark, advance=False)
        out = [m.group(1) for m in self.g.matching(r"^soak: %d (.*)$" % i, since=mark)]
        out = out[:out.index("end")]
        if any(l.startswith("no step ") for l in out):
            raise Failed("the %s worker: %s" % (worker, "; ".join(out)))
        died = [l[5:] for l in out if l.startswith("died ")]
        if died:
            raise Failed("a process died unasked: %s" % ", ".join(died))
        return out

    def fail(self, part, errors):
        if errors:
            self.counts[part]["errors"] += len(errors)
            raise Failed("; ".join(errors))

    def _fail_run(self, why):
        with self.lock:
            if self.failure is None:
                self.failure = why
        self.stop.set()

    def _stream(self, name, steps):
        for step in steps:
            wait = self.start + step[0] - time.monotonic()
            if self.stop.wait(max(0.0, wait)):
                return
            self.late[name] = max(self.late.get(name, 0.0), -wait)
            try:
                getattr(self, "do_" + step[2])(*step[3])
            except (Failed, vmdevice.VMError) as e:
                # A guest step that never ends is a hang of what it drove.
                self._fail_run("%s (%s): %s" % (name, format_step(step).strip(), str(e).splitlines()[0]))
                return
            except (ValueError, IndexError) as e:
                # An answer of a shape the step does not know.
                self._fail_run("%s (%s): unreadable answer: %s" % (name, format_step(step).strip(), e))
                return

    def _collector(self):
        while not self.stop.wait(COLLECT_EVERY):
            try:
                self.collect()
            except (Failed, vmdevice.VMError) as e:
                self._fail_run("collecting the record: %s" % str(e).splitlines()[0])

    def collect(self):
        """The new lines of the ground truth and of the module's record; how many came."""
        out = self.cmd("record", "collect")
        truth = [l[2:] for l in out if l.startswith("t ")]
        shadow = [l[2:] for l in out if l.startswith("s ")]
        record = [l[2:] for l in out if l.startswith("m ")]
        self.truth += truth
        self.shadow += shadow
        self.record += record
        return len(truth) + len(shadow) + len(record)

    def run(self):
        self.g.expect(r"^soak: ready$", 240)
        streams = {}
        for step in self.plan:
            streams.setdefault(stream_of(step), []).append(step)
        self.start = time.monotonic()
        threads = [threading.Thread(target=self._stream, args=(n, s), daemon=True) for n, s in streams.items()]
        threads.append(threading.Thread(target=self._collector, daemon=True))
        for t in threads:
            t.start()
        streams_left = threads[:-1]
        while any(t.is_alive() for t in streams_left):
            for t in streams_left:
                t.join(1.0 if self.progress.isatty() else 15.0)
                break
            self.show()
        self.stop.set()
        for t in threads:
            t.join(STEP_LIMIT + 10)
        self.elapsed = time.monotonic() - self.start
        if self.progress.isatty():
            self.progress.write("\n")
        if self.failure:
            raise Failed(self.failure)
        # The last strokes through the service: nothing new twice in a row.
        end, quiet = time.monotonic() + SETTLE_LIMIT, 0
        while quiet < 2 and time.monotonic() < end:
            time.sleep(1.0)
            quiet = quiet + 1 if self.collect() == 0 else 0
        held = self.cmd("record", "held")[0].split()[1:]
        codes = " ".join(str(c) for c in account.OFFERED_CODES)
        zaze = {w[1]: int(w[2]) for w in (l.split() for l in self.cmd("record", "zaze", codes))}
        self.cmd("quit")
        self.account(held, zaze)

    def account(self, held, zaze):
        truth = [e for e in map(account.parse_truth, self.truth) if e]
        record = [e for e in map(account.parse_record, self.record) if e]
        shadow = [e for e in map(account.parse_truth, self.shadow) if e]
        strokes = account.Strokes(truth, record, self.stalls, shadow=shadow).run()
        self.strokes = strokes.strokes()
        presses = [t for t, code, value in truth if code is not None and value == 1]
        planned = [s[0] for s in self.plan if s[2] == "press"]
        self.rates = account.rates(presses, planned, self.minutes * 60.0)
        self.counts["keys"]["ops"] = self.strokes["typed"]
        errors = strokes.errors + account.account_offered(record, zaze, held)
        typed, plan_rate, peak, plan_peak = self.rates
        if not 0.9 * plan_rate <= typed <= 1.1 * plan_rate:
            errors.append("typed %.2f strokes a second, the plan %.2f" % (typed, plan_rate))
        if peak < 0.9 * plan_peak:
            errors.append("bursts reached %.1f strokes a second, the plan %.1f" % (peak, plan_peak))
        if len(errors) > 3:
            errors = errors[:3] + ["more (the table counts them all)"]
        self.fail("keys", errors)

    def show(self):
        c = self.counts
        t = time.monotonic() - self.start
        typed = sum(1 for l in self.truth if l.endswith(" 1") and l.startswith("key "))
        planned = sum(1 for s in self.plan if s[2] == "press" and s[0] <= t)
        line = ("soak %5.0f s: typed %.1f strokes/s (plan %.1f), sensors %d, agent %d, registry %d ops; faults %d"
                % (t, typed / max(t, 1.0), planned / max(t, 1.0), c["sensors"]["ops"], c["agent"]["ops"],
                   c["registry"]["ops"], sum(p["faults"] for p in c.values())))
        self.progress.write(("\r" + line + "  ") if self.progress.isatty() else line + "\n")
        self.progress.flush()

    # -- keys and the sensor service

    def do_press(self, key, hold):
        self.g.type_line("press %d %d" % (KEY_CODES[key], int(hold * 1000)))

    def do_stop(self):
        out = self.cmd("fault", "stop")
        self.stall_from = float(out[0].split()[1])
        self.counts["sensors"]["faults"] += 1

    def do_cont(self):
        out = self.cmd("fault", "cont")
        self.stalls.append((self.stall_from, float(out[0].split()[1])))

    def do_toggle(self):
        out = self.cmd("fault", "toggle")
        self.counts["sensors"]["ops"] += 1
        want = "activate %d" % (0 if self.enabled else 1)
        if out != [want]:
            self.fail("sensors", ["SIGUSR1 gave %r, wanted %r" % (out, want)])
        self.enabled = not self.enabled

    def do_delay(self):
        out = self.cmd("fault", "delay")
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
        got, status = self.split(self.cmd("agent", "round", ",".join(members)))
        sent = list(members[:members.index("Release") + 1])
        errors = account.account_round(sent, got["daemon"], got["agent"], status, self.counts["agent"])
        self.fail("agent", errors + ["guest: %s" % " ".join(v) for k, v in got.items()
                                     if k not in ("daemon", "agent", "out") and v])

    def do_restart(self):
        self._end("restart")

    def do_term(self):
        self._end("term")

    def _end(self, how):
        got, status = self.split(self.cmd("agent", how))
        path = (got.get("path") or [""])[0]
        errors = account.account_end(how, got["agent"], status, got["daemon"], path, self.counts["agent"])
        self.fail("agent", errors)

    def do_stranger(self, what):
        got, status = self.split(self.cmd("agent", "stranger", what))
        self.counts["agent"]["ops"] += 1
        text = "\n".join(got["out"])
        want = ("org.freedesktop.DBus.Error.AccessDenied" if what == "call" else "cannot take the bus name")
        if status != 1 or want not in text:
            self.fail("agent", ["another user's %s was not refused: %r, status %r" % (what, text, status)])

    def do_pair(self):
        got, status = self.split(self.cmd("agent", "pair"))
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
        t0 = time.monotonic()
        got, status = self.split(self.cmd("registry", op, name) if name else self.cmd("registry", op))
        t1 = time.monotonic()
        tries = [account.account_service(op, name, up, got["out"], status, {"ops": 0})
                 for up in account.samples_states(self.transitions, t0, t1)]
        self.counts["registry"]["ops"] += 1
        self.fail("registry", min(tries, key=len))

    def do_list(self):
        self._service("list")

    def do_check(self, name):
        self._service("check", name)

    def do_call(self, name):
        self._service("call", name)

    def _samples(self, action, up):
        # Known from the moment it is sent: a step beside it may see either state.
        move = [time.monotonic(), float("inf"), up]
        self.transitions.append(move)
        out = self.cmd("samples", action)
        move[1] = time.monotonic()
        if out:
            self.fail("registry", out)

    def do_kill(self):
        self._samples("kill", False)
        self.counts["registry"]["faults"] += 1

    def do_start(self):
        self._samples("start", True)

    # -- resources

    def do_sample(self):
        out = self.cmd("record", "sample")
        t = time.monotonic() - self.start
        for l in out:
            w = l.split()
            if w[0] == "res" and len(w) == 5:
                # "-": no count this time (a client of the bus may be coming or going).
                fds = int(w[4]) if w[4] != "-" else None
                self.resources.setdefault(w[1], []).append((t, int(w[3]), fds, w[2]))


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
    text = report.table(seed, minutes, s.counts, rows, s.strokes, s.rates, s.late)
    if failure is None and growth_errors:
        failure = "; ".join(growth_errors)
    with open(base + ".txt", "w") as f:
        f.write(text)
        if failure:
            f.write("\nFAILED: %s\n" % failure)
    with open(base + ".json", "w") as f:
        json.dump({"seed": seed, "minutes": minutes, "failure": failure, "counts": s.counts,
                   "strokes": s.strokes, "rates": s.rates, "late": s.late, "sent": s.sent,
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
