"""What each part of a soak should have seen, as pure functions over what was recorded.
Each returns a list of errors (empty when all is accounted for) and adds to counters."""
from .plan import ARROWS, FORWARDED, SWALLOWED

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


class Burst:
    """The strokes between two quiet moments. strokes: (key, index of its press among the
    keyboard's events); each stroke is two events, press and release. stalls: (first, end)
    event indices typed while the sensor service was stopped."""

    def __init__(self, strokes, stalls, enabled):
        self.strokes, self.stalls, self.enabled = strokes, stalls, enabled

    def stalled(self, index):
        return any(a <= i < b for a, b in self.stalls for i in (index, index + 1))


def account_keys(burst, rotation, downs, reports, held, counts):
    """downs: presses per key code seen on the virtual device; reports: rotations reported,
    in order; held: key codes down there at the quiet moment. rotation: the module's rotation
    before the burst (None: not known). Returns (errors, rotation after)."""
    errors = []
    if held:
        errors.append("stuck keys on the virtual device: %s" % " ".join(map(str, held)))
    outside, inside = {}, {}
    last_arrow = None
    for key, index in burst.strokes:
        (inside if burst.stalled(index) else outside)[key] = \
            (inside if burst.stalled(index) else outside).get(key, 0) + 1
        if key in ARROWS:
            last_arrow = (key, burst.stalled(index))
    counts["typed"] += len(burst.strokes)
    counts["stalled"] += sum(inside.values())
    for key, code in FORWARDED.items():
        o, s, d = outside.get(key, 0), inside.get(key, 0), downs.get(code, 0)
        if d < o:
            errors.append("%s: %d typed outside stalls, %d delivered" % (key, o, d))
        elif d > o + s:
            errors.append("%s: %d typed, %d delivered" % (key, o + s, d))
        else:
            counts["delivered"] += d
            counts["lost"] += o + s - d
    extra = set(downs) - set(FORWARDED.values())
    if extra:
        errors.append("keys on the virtual device that it does not declare: %s" % sorted(extra))
    arrows_out = sum(outside.get(k, 0) for k in ARROWS)
    mods_out = sum(outside.get(k, 0) for k in SWALLOWED)
    traceless = sum(n for k, n in outside.items() if k not in FORWARDED)
    if burst.enabled:
        # Each arrow reports at its press and its release (and repeats); a swallowed
        # modifier's release reports the current rotation.
        typed_rot = {ARROWS[k] for k, _ in burst.strokes if k in ARROWS}
        allowed = typed_rot | ({rotation} if rotation is not None else set(ARROWS.values()))
        for key, deg in ARROWS.items():
            want, got = 2 * outside.get(key, 0), reports.count(deg)
            if got < want:
                errors.append("%s: %d strokes outside stalls, %d reports of %d" %
                              (key, outside.get(key, 0), got, deg))
        wrong = sorted(set(reports) - allowed)
        if wrong:
            errors.append("reports of rotations never typed: %s" % wrong)
        if len(reports) < 2 * arrows_out + mods_out:
            errors.append("%d reports for %d arrow and %d modifier strokes" %
                          (len(reports), arrows_out, mods_out))
        counts["delivered"] += arrows_out + mods_out
        traceless -= arrows_out + mods_out
    elif reports:
        errors.append("%d reports while the sensor was off" % len(reports))
    counts["traceless"] += traceless
    if last_arrow and not last_arrow[1]:
        after = ARROWS[last_arrow[0]]
    elif last_arrow:
        after = reports[-1] if burst.enabled and reports else None
    else:
        after = rotation
    if burst.enabled and reports and after is not None and reports[-1] != after:
        errors.append("last report %d, last arrow typed %d" % (reports[-1], after))
    return errors, after


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
    after = sorted({v for t, v in samples if t >= duration / 10.0})
    if len(after) > 1:
        return "descriptors changed after warm-up: %s" % after
    return None
