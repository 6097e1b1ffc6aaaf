"""What each part of a soak should have seen, as pure functions over what was recorded.
Each returns a list of errors (empty when all is accounted for) and adds to counters."""
import re

from .plan import FORWARDED, SETTLE

DEV = "/org/velto/hci0/dev_00_11_22_33_44_55"
AUTH_UUID = "0000111f-0000-1000-8000-00805f9b34fb"
# The daemon's call for each member, its reply as the daemon prints it, the agent's line.
CALLS = {
    "RequestPinCode": ("o " + DEV, "reply RequestPinCode s 0000", "Pincode request for device " + DEV),
    "RequestPasskey": ("o " + DEV, "reply RequestPasskey u 0", "Passkey request for device " + DEV),
    "RequestConfirmation": ("ou %s 123456" % DEV, "reply RequestConfirmation",
                            "Confirmation request of 123456 for device " + DEV),
    "Authorize": ("os %s %s" % (DEV, AUTH_UUID), "reply Authorize", "Authorizing request for " + DEV),
    "Cancel": ("", "reply Cancel", "Request canceled"),
    "Release": ("", "reply Release", "Agent has been released"),
}
TERMINATED = "Agent has been terminated"


def agent_lines(lines):
    return [l for l in lines if l and not l.startswith("Bluetooth agent ver")]


# The keyboard's key codes by the module's rules: arrows set a rotation (degrees), the left
# Ctrl and Alt are swallowed when pressed, three keys are offered by the virtual device.
ARROW_CODES = {103: 0, 106: 90, 108: 180, 105: 270}
SWALLOWED_CODES = (29, 56)
OFFERED_CODES = tuple(FORWARDED.values())
GAP_LIMIT = 400  # key events a stall can lose: far more than the kernel's queue holds
SHADOW_SLACK = 2  # key events the module may differ by from the stalled reader's loss
LATE = 1.0  # s around a stall: events queued unread before it, read after it
# s before a stall's stamped end (stamped after the continue): a later event may be read
# after the module's catch-up; no key comes that close to a stall's end.
QUEUED_MARGIN = SETTLE
CAUGHT_UP = 0.25  # s after a stall's end by which the module has read its queue


def parse_truth(line):
    """'key SEC CODE VALUE' or 'dropped SEC' of `evprobe truth`; None for other lines."""
    w = line.split()
    try:
        if w[0] == "key" and len(w) == 4:
            return (float(w[1]), int(w[2]), int(w[3]))
        if w[0] == "dropped" and len(w) == 2:
            return (float(w[1]), None, None)
    except ValueError:
        pass
    return None


def parse_record(line):
    """One line of the sensor service's log as the accounting reads it: ('tap', code,
    value), ('report', degrees), ('activate', 0|1), ('drop', released, pressed)."""
    w = line.split()
    if not w:
        return None
    if w[0] == "tap" and len(w) == 3:
        return ("tap", int(w[1]), int(w[2]))
    if w[0] == "report" and len(w) > 1 and w[1].startswith("rotation="):
        return ("report", int(w[1][9:]))
    if w[0] == "activate" and len(w) == 2:
        return ("activate", int(w[1]))
    m = re.search(r"events dropped by the kernel .*?(\d+) held key\(s\) released, (\d+) pressed", line)
    if m:
        return ("drop", int(m.group(1)), int(m.group(2)))
    return None


def read_console(lines):
    """The ground truth, the module's record, the stalls and the stopped reader's events
    (None without them) from the soak's console lines ("soak: ID t ...", "soak: ID m ...",
    "soak: ID s ...", "soak: ID stopped T", "soak: ID continued T")."""
    truth, record, stalls, shadow, stop = [], [], [], [], None
    for line in lines:
        m = re.search(r"soak: \d+ (t|m|s|stopped|continued) (.*)$", line.rstrip("\r\n"))
        if not m:
            continue
        kind, rest = m.groups()
        if kind == "t":
            truth.append(parse_truth(rest))
        elif kind == "m":
            record.append(parse_record(rest))
        elif kind == "s":
            shadow.append(parse_truth(rest))
        elif kind == "stopped":
            stop = float(rest)
        elif stop is not None:
            stalls.append((stop, float(rest)))
            stop = None
    return ([e for e in truth if e], [e for e in record if e], stalls,
            [e for e in shadow if e] if shadow else None)


def trace_of(code, value, enabled, rotation):
    """What the module leaves of one key event: ('tap', code, value) written to uinput,
    ('report', degrees), or None where its rules leave nothing (a repeat, which the
    virtual device makes itself; a swallowed press)."""
    if code in ARROW_CODES:
        if enabled:
            return ("report", ARROW_CODES[code])
    elif code in SWALLOWED_CODES:
        if value:
            return None
        if enabled:
            return ("report", rotation)
    if value == 2:
        return None
    return ("tap", code, value)


class Strokes:
    """The accounting of every key event the kernel delivered (`truth`: (time, code, value)
    in its order) against the module's record (parse_record items in its order); `stalls`:
    (stop, end) times of the sensor service's stalls on the truth's clock."""

    def __init__(self, truth, record, stalls, enabled=True, rotation=0, shadow=None):
        self.initial = {"enabled": enabled, "rotation": rotation}
        # shadow: the events of a reader stopped and continued with the service; what it
        # missed is what the kernel dropped from a stalled reader's queue.
        self.shadow_lost = None
        if shadow is not None:
            seen = set(shadow)
            self.shadow_lost = [e for e in truth if e[1] is not None and e not in seen]
        self.truth = [e for e in truth if e[1] is not None]
        self.truth_drops = [e[0] for e in truth if e[1] is None]
        self.stalls = stalls
        self.items = list(record)
        self.resync = set()
        for d, item in enumerate(self.items):
            if item[0] == "drop":
                # The keys the module set right after a loss come just before its line:
                # as many releases and presses as it says.
                taps = []
                k = d - 1
                while len(taps) < item[1] + item[2] and k >= 0 and self.items[k][0] == "tap":
                    taps.append(k)
                    k -= 1
                values = [self.items[n][2] for n in taps]
                if values.count(0) == item[1] and values.count(1) == item[2]:
                    self.resync.update(taps)
        self.used = set()  # the loss lines a run of lost events was bound to
        self.trial = (None, None)  # the one being tried, with its stall
        self.label = [None] * len(self.truth)
        self.errors = []
        self.extra = 0

    def stall_of(self, t):
        """The stall (stop, end) whose window holds t, or None."""
        for a, b in self.stalls:
            if a - LATE <= t <= b + LATE:
                return a, b
        return None

    @staticmethod
    def _queued(t, stalls):
        """Whether an event stamped t was in a stalled service's queue when it went on:
        its trace, if any, comes before the module's line of that stall's loss."""
        return t is not None and any(a - LATE <= t <= b - QUEUED_MARGIN for a, b in stalls)

    def _barrier(self, d, t):
        """Whether the unused loss's line d ends the search for event t's trace: the line
        being tried for a stall only for that stall's events, any other for any stall's."""
        if d == self.trial[0]:
            return self._queued(t, [self.trial[1]])
        return d not in self.used and self._queued(t, self.stalls)

    def _next(self, j, state, t=None):
        """The next trace item from j (activations applied to state); len(items) at the end.
        For an event stamped t that was queued in a stall, an unused loss's line ends the
        search there: what the module did after it came after that event."""
        while j < len(self.items):
            item = self.items[j]
            if item[0] == "drop" and self._barrier(j, t):
                return j
            if item[0] == "activate":
                state["enabled"] = bool(item[1])
            elif item[0] in ("tap", "report") and j not in self.resync:
                return j
            j += 1
        return j

    def _step(self, i, j, state):
        """Event i against the record from j: (matched, label, j after)."""
        t, code, value = self.truth[i]
        j = self._next(j, state, t)
        want = trace_of(code, value, state["enabled"], state["rotation"])
        if want is not None and (j >= len(self.items) or self.items[j] != want):
            return False, want, j
        if code in ARROW_CODES:
            state["rotation"] = ARROW_CODES[code]
        return True, want[0] if want else "rule", j + (want is not None)

    def _matches(self, i, j, state, drop, after=None):
        """Whether the record goes on matching from event i and item j: 20 traces and past
        the loss's line `drop` (an item of the record), 3 once past it, or to the end; the
        line must come before any event stamped past `after`."""
        state, done = dict(state), 0
        while i < len(self.truth) and (done < 20 or j <= drop < len(self.items)) \
                and not (j > drop and done >= 3):
            if after is not None and self.truth[i][0] > after and self._next(j, dict(state)) < drop:
                return False
            ok, label, j = self._step(i, j, state)
            if not ok:
                return False
            done += label != "rule"
            i += 1
        return True

    def _gap(self, i, j, state):
        """(end, drop) of a run of events from i that the kernel dropped from the module's
        queue: its record has a loss's line not yet used from the last match on, the run
        lies in a stall, and the record matches again after it; None when there is none."""
        drops = [d for d in range(self.last, len(self.items))
                 if self.items[d][0] == "drop" and d not in self.used]
        if not drops:
            return None
        stall = self.stall_of(self.truth[i][0])
        if stall is None:
            return None
        self.trial = (drops[0], stall)
        try:
            for k in range(i + 1, min(len(self.truth), i + GAP_LIMIT) + 1):
                # What came after the continue was read: the kernel dropped none of it.
                if self.stall_of(self.truth[k - 1][0]) != stall or self.truth[k - 1][0] > stall[1]:
                    return None
                if (k == len(self.truth) or self._matches(k, j, state, drops[0], stall[1] + CAUGHT_UP)) \
                        and self._as_the_shadow(self.truth[i:k], stall, state):
                    return k, drops[0]
            return None
        finally:
            self.trial = (None, None)

    def _as_the_shadow(self, lost, stall, state):
        """Whether the events lost are, key by key, what the stalled reader lost in the
        same stall, give or take SHADOW_SLACK events (the service may have been a few
        events behind it when both were stopped). Events the rules leave no trace of
        (a held Esc's repeats) cannot be seen lost or kept: neither side counts them."""
        if self.shadow_lost is None:
            return True
        a, b = stall
        want = {}

        def traced(e):
            return trace_of(e[1], e[2], state["enabled"], state["rotation"]) is not None
        for e in self.shadow_lost:
            if a - LATE <= e[0] <= b + LATE and traced(e):
                want[e[1:]] = want.get(e[1:], 0) + 1
        for e in filter(traced, lost):
            want[e[1:]] = want.get(e[1:], 0) - 1
        return sum(abs(n) for n in want.values()) <= SHADOW_SLACK

    def run(self):
        state = dict(self.initial)
        i = j = 0
        self.last = 0
        while i < len(self.truth):
            ok, label, j2 = self._step(i, j, state)
            if ok:
                self.label[i] = label
                if label != "rule":
                    self.last = j2
                i, j = i + 1, j2
                continue
            j = j2  # a mismatch leaves the rotation as it was
            gap = self._gap(i, j, state)
            if gap is not None:
                for n in range(i, gap[0]):
                    self.label[n] = "lost"
                self.used.add(gap[1])
                i = gap[0]
                continue
            self._unexplained(i, j, label)
            a, j = self._resume(i, j, state)
            for n in range(i, i + a):
                self.label[n] = "none"
            i += a
        j = self._next(j, state)
        left = [n for n in range(j, len(self.items)) if self.items[n][0] in ("tap", "report")
                and n not in self.resync]
        if left:
            self.extra += len(left)
            self.errors.append("%d traces in the module's record that no stroke explains, first %s"
                               % (len(left), self.items[left[0]]))
        if self.truth_drops:
            self.errors.append("the ground truth's reader itself lost events (at %s)" % self.truth_drops[0])
        return self

    def _resume(self, i, j, state):
        """After a fault at event i and item j: the fewest events (a) and traces skipped
        after which the record matches again; (a, j after the skipped traces)."""
        for total in range(1, 13):
            for a in range(total + 1):
                k, skipped = j, 0
                while skipped < total - a and k < len(self.items):
                    k = self._next(k, dict(state)) + 1
                    skipped += 1
                if i + a <= len(self.truth) and self._matches(i + a, k, state, len(self.items)):
                    self.extra += skipped
                    return a, k
        return 1, j

    def _unexplained(self, i, j, want):
        t, code, value = self.truth[i]
        got = self.items[j] if j < len(self.items) else "the record's end"
        if len(self.errors) < 20:
            self.errors.append("key %d %s at %.3f s: no %s in the module's record (next there: %s)"
                               % (code, {0: "release", 1: "press", 2: "repeat"}.get(value, value), t,
                                  want, got))

    def strokes(self):
        """Stroke counts by how each was accounted for: a stroke is a press and what
        follows it of the same key."""
        open_, strokes = {}, []
        for (t, code, value), label in zip(self.truth, self.label):
            if value == 1 or code not in open_:
                open_[code] = len(strokes)
                strokes.append((code, []))
            strokes[open_[code]][1].append(label)
            if value == 0:
                open_.pop(code, None)
        c = dict(typed=0, forwarded=0, unoffered=0, reported=0, lost=0, traceless=0)
        for code, labels in strokes:
            c["typed"] += 1
            if "none" in labels:
                c["traceless"] += 1
            elif "lost" in labels:
                c["lost"] += 1
            elif "report" in labels:
                c["reported"] += 1
            elif code in OFFERED_CODES:
                c["forwarded"] += 1
            elif "tap" in labels:
                c["unoffered"] += 1
            else:
                # Each stroke's rules leave a trace (a release at least): one without
                # one is a fault even where each of its events was matched by rule.
                c["traceless"] += 1
                self.errors.append("key %d: a stroke with nothing of it in the module's record "
                                   "(its events: %s)" % (code, " ".join(map(str, labels))))
        c["untraced reports"] = self.extra
        return c


def account_offered(record, zaze, held):
    """Every press of an offered key written to uinput reached the virtual device (zaze:
    {code or "dropped": presses seen there, or the watcher's own losses}); no key left down
    there. A press written while the key is down there (its release lost in a stall) is no
    change the kernel passes on."""
    zaze = dict(zaze)
    errors = []
    if zaze.pop("dropped", 0):
        errors.append("the virtual device's watcher lost events itself: its presses cannot be counted")
    zaze = {int(c): n for c, n in zaze.items()}
    for code in OFFERED_CODES:
        written, down = 0, False
        for it in record:
            if it[0] == "tap" and it[1] == code:
                written += it[2] == 1 and not down
                down = it[2] != 0
        if zaze.get(code, 0) != written:
            errors.append("key %d: %d presses written to uinput, %d on the virtual device"
                          % (code, written, zaze.get(code, 0)))
    if held:
        errors.append("stuck keys on the virtual device: %s" % " ".join(map(str, held)))
    return errors


def rates(presses, planned, seconds, run=10):
    """Typing against the plan: (typed a second, planned a second, peak typed, peak
    planned), a peak being the fastest rate over `run` presses in a row."""
    def peak(ts):
        ts = sorted(ts)
        spans = [ts[k + run - 1] - ts[k] for k in range(len(ts) - run + 1)]
        return (run - 1) / min(spans) if spans and min(spans) > 0 else 0.0
    return (len(presses) / seconds, len(planned) / seconds, peak(presses), peak(planned))


def account_round(sent, replies, lines, status, counts):
    """One round of the daemon's calls to the long-lived agent: sent members in order,
    the daemon's replies, the agent's new lines, its status if it ended (Release)."""
    errors = []
    want = [CALLS[m][1] for m in sent]
    if replies != want:
        errors.append("daemon got %r, wanted %r" % (replies, want))
    want_lines = [CALLS[m][2] for m in sent]
    if agent_lines(lines) != want_lines:
        errors.append("agent printed %r, wanted %r" % (agent_lines(lines), want_lines))
    released = bool(sent) and sent[-1] == "Release"
    if released and status != 0:
        errors.append("released agent ended with status %r" % status)
    if not released and status is not None:
        errors.append("agent ended unasked, status %r" % status)
    counts["ops"] += len(sent)
    return errors


def account_end(how, lines, status, daemon_lines, path, counts):
    """The long-lived agent's end: 'restart' (the daemon left), 'term' (SIGTERM)."""
    errors = []
    if status != 0:
        errors.append("agent ended with status %r after %s" % (status, how))
    got = agent_lines(lines)
    want = [TERMINATED] if how == "restart" else []  # SIGTERM ends it without a line
    if got != want:
        errors.append("agent printed %r at its end, wanted %r" % (got, want))
    if how == "term" and "UnregisterAgent %s" % path not in daemon_lines:
        errors.append("agent %s exited still registered (daemon saw %r)" % (path, daemon_lines))
    counts["faults"] += 1
    return errors


def account_service(op, name, alive, lines, status, counts):
    """A `service` command's output and status for the state the samples were in."""
    counts["ops"] += 1
    text = "\n".join(lines)
    if op == "list":
        # Killed samples stay listed, in the order they first registered; a dead one's
        # interface cannot be asked.
        ok = status == 0 and lines == ["Found 3 services:", "0\techo: [%s]" % ("vardel.IEcho" if alive else ""),
                                       "1\tanonymous: []", "2\tmute: []"]
    elif op == "check":
        # A dead service stays listed; its reference is still there.
        found = name != "nope"
        ok = status == 0 and lines == ["Service %s: %s" % (name, "found" if found else "not found")]
    elif alive:
        ok = status == 0 and text.startswith("Result: Parcel(") and "00000007" in text
    else:
        ok = status == 10 and lines == ["service: Service %s does not exist" % name]
    if ok:
        return []
    return ["service %s%s (samples %s): %r, status %r" %
            (op, " " + name if name else "", "up" if alive else "killed", lines, status)]


def samples_states(transitions, t0, t1):
    """Whether the samples may be up for a step from t0 to t1 (host clock), given their
    kills and starts as (from, to, up after): a step beside one may see either."""
    states = {up for a, b, up in transitions if a <= t1 and b >= t0}
    before = [up for a, b, up in transitions if b < t0]
    states.add(before[-1] if before else True)
    return states


def growth(samples, duration):
    """The memory rule over (time, kB) samples: after warm-up (the first tenth), the last
    third's mean within 2% or 64 kB of the second third's. Returns (kB per hour, error)."""
    after = [(t, v) for t, v in samples if t >= duration / 10.0]
    second = [v for t, v in after if duration / 3.0 <= t < 2 * duration / 3.0]
    last = [v for t, v in after if t >= 2 * duration / 3.0]
    rate = None
    if len(after) >= 2:
        n = len(after)
        mt = sum(t for t, _ in after) / n
        mv = sum(v for _, v in after) / n
        den = sum((t - mt) ** 2 for t, _ in after)
        rate = sum((t - mt) * (v - mv) for t, v in after) / den * 3600.0 if den else 0.0
    if not second or not last:
        return rate, None
    a, b = sum(second) / len(second), sum(last) / len(last)
    if b - a > max(0.02 * a, 64):
        return rate, "memory grew from %.0f kB to %.0f kB (means of the second and last thirds)" % (a, b)
    return rate, None


def fds_constant(samples, duration):
    """The descriptor rule over (time, count) samples: after warm-up (the first tenth)
    one count only."""
    after = sorted({v for t, v in samples if t >= duration / 10.0})
    if len(after) > 1:
        return "descriptors changed after warm-up: %s" % after
    return None
