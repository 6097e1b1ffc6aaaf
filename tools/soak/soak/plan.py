"""The schedule of a soak, drawn from a seed: the same seed and length give the same steps.

A step is (time in s, part, action, args). Typing comes in bursts, and the sensor is toggled
only between them, so that every stroke meets one known state. The other parts run on
their own clocks, at the same time."""
import random

# Typed keys: those the module forwards (Esc, left Meta, Compose), the arrows, the keys it
# swallows (left Ctrl, left Alt) and keys that leave no trace (letters, right Ctrl).
FORWARDED = {"esc": 1, "meta_l": 125, "compose": 127}
ARROWS = {"up": 0, "right": 90, "down": 180, "left": 270}
SWALLOWED = ("ctrl", "alt")
TRACELESS = ("a", "s", "q", "z", "ctrl_r")
KEYS = list(FORWARDED) + list(ARROWS) + list(SWALLOWED) + list(TRACELESS)

MEMBERS = ("RequestPinCode", "RequestPasskey", "RequestConfirmation", "Authorize", "Cancel",
           "Release")
SERVICE_NAMES = ("echo", "anonymous", "mute", "nope")
SAMPLE_EVERY = 10.0
MIN_PERIOD = 0.05  # at most 20 strokes a second
SETTLE = 0.5  # s around the end of a stall without a key down


def _typing(rnd, end):
    steps, t = [], 2.0
    while True:
        t += rnd.uniform(1.0, 3.0)
        burst_end = t + rnd.uniform(1.0, 4.0)
        if burst_end > end - 3:
            return steps
        stall = None
        if rnd.random() < 0.3:
            at = rnd.uniform(t, burst_end)
            stall = (at, at + rnd.uniform(0.5, 2.0))
            steps.append((round(stall[0], 2), "sensors", "stop", ()))
            steps.append((round(stall[1], 2), "sensors", "cont", ()))
        if rnd.random() < 0.3:
            # A stopped service takes no signal: the delay changes outside the stall.
            at = rnd.uniform(t, burst_end)
            if stall and stall[0] - 0.01 <= at <= stall[1]:
                at = stall[1] + 0.01
            steps.append((round(at, 2), "sensors", "delay", ()))
        while t < burst_end or (stall and t < stall[1]):
            key = rnd.choice(KEYS)
            if stall and stall[0] <= t < stall[1]:
                # As fast as allowed, so that the stopped service's queue overflows.
                hold, gap = round(rnd.uniform(0.02, 0.03), 2), 0.0
            else:
                hold = round(rnd.uniform(0.1, 2.0) if rnd.random() < 0.1 else rnd.uniform(0.02, 0.08), 2)
                gap = rnd.uniform(0.02, 0.3)
            if stall and t < stall[1] + SETTLE and t + hold + 0.02 > stall[1] - SETTLE:
                # No key is down while the service catches up after a stall: the key
                # state it reads then is the keyboard's at rest.
                t = round(stall[1] + SETTLE + 0.01, 2)
                continue
            steps.append((round(t, 2), "keys", "press", (key, hold)))
            t = round(t + max(MIN_PERIOD, hold + 0.02 + gap), 2)
        t += 0.5
        if rnd.random() < 0.3:
            # Between bursts: no key is down.
            steps.append((round(t + 0.01, 2), "sensors", "toggle", ()))


def _every(rnd, end, lo, hi, start=1.0):
    t = start
    while True:
        t += rnd.uniform(lo, hi)
        if t > end - 2:
            return
        yield round(t, 2)


def _agent(rnd, end):
    steps = []
    for t in _every(rnd, end, 3.0, 6.0):
        r = rnd.random()
        if r < 0.08:
            steps.append((t, "agent", "restart", ()))
        elif r < 0.12:
            steps.append((t, "agent", "term", ()))
        elif r < 0.22:
            steps.append((t, "agent", "stranger", (rnd.choice(("call", "own")),)))
        elif r < 0.32:
            steps.append((t, "agent", "pair", ()))
        else:
            order = list(MEMBERS)
            rnd.shuffle(order)
            steps.append((t, "agent", "round", tuple(order)))
    return steps


def _registry(rnd, end):
    steps, down_until = [], None
    for t in _every(rnd, end, 1.0, 3.0):
        if down_until is not None and t >= down_until:
            steps.append((t, "registry", "start", ()))
            down_until = None
        elif down_until is None and rnd.random() < 0.06:
            steps.append((t, "registry", "kill", ()))
            down_until = t + rnd.uniform(2.0, 8.0)
        else:
            op = rnd.choice(("list", "check", "call"))
            name = rnd.choice(SERVICE_NAMES) if op == "check" else "echo"
            steps.append((t, "registry", op, () if op == "list" else (name,)))
    if down_until is not None:
        steps.append((round(end - 1, 2), "registry", "start", ()))
    return steps


def make_plan(seed, minutes):
    """Every step of a soak of `minutes` from `seed`, in time order."""
    rnd = random.Random(seed)
    end = minutes * 60.0
    steps = _typing(random.Random(rnd.random()), end)
    steps += _agent(random.Random(rnd.random()), end)
    steps += _registry(random.Random(rnd.random()), end)
    t = 0.0
    while t <= end:
        steps.append((round(t, 2), "resources", "sample", ()))
        t += SAMPLE_EVERY
    order = {"sensors": 0, "keys": 1, "agent": 2, "registry": 3, "resources": 4}
    steps.sort(key=lambda s: (s[0], order[s[1]]))
    return steps


def format_step(step):
    t, part, action, args = step
    return "%8.2f %-9s %s%s" % (t, part, action, "".join(" " + str(a) for a in args))
