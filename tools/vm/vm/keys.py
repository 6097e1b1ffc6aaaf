"""Key words as people type them (qemu's qcode names) and their Linux key codes, for
guests whose keyboard is guest/vkeyboard: it takes "press CODE MS", "down CODE", "up CODE"."""
import re

from .common import VMError

KEY_CODES = {
    "esc": 1, "backspace": 14, "tab": 15, "ret": 28, "ctrl": 29, "shift": 42, "shift_r": 54,
    "alt": 56, "spc": 57, "ctrl_r": 97, "alt_r": 100, "home": 102, "up": 103, "pgup": 104,
    "left": 105, "right": 106, "end": 107, "down": 108, "pgdn": 109, "insert": 110,
    "delete": 111, "meta_l": 125, "meta_r": 126, "compose": 127,
}
KEY_CODES.update({c: n for n, c in enumerate("1234567890", 2)})
KEY_CODES.update({c: 16 + i for i, c in enumerate("qwertyuiop")})
KEY_CODES.update({c: 30 + i for i, c in enumerate("asdfghjkl")})
KEY_CODES.update({c: 44 + i for i, c in enumerate("zxcvbnm")})
KEY_CODES.update({"f%d" % i: 58 + i for i in range(1, 11)})

# What vkeyboard takes; anything else (its "quit" among them) never reaches it from outside.
KEYBOARD_LINE = re.compile(r"^(?:(?:down|up) \d{1,3}|press \d{1,3} \d{1,5})$")


def parse_keys(words):
    """KEY or KEY:HOLD (press, hold HOLD s, release), +KEY (down only), -KEY (up only),
    sleep:SECS."""
    steps = []
    for w in words:
        try:
            if w.startswith("sleep:"):
                steps.append(("sleep", float(w[6:])))
            elif w.startswith("+"):
                steps.append(("down", w[1:]))
            elif w.startswith("-"):
                steps.append(("up", w[1:]))
            else:
                name, _, hold = w.partition(":")
                steps.append(("press", name, float(hold) if hold else 0.05))
        except ValueError:
            raise VMError("bad key word %r (KEY, KEY:SECS, +KEY, -KEY, sleep:SECS)" % w)
    return steps


def keyboard_lines(words):
    """vkeyboard's lines for key words, with ("sleep", SECS) for the pauses."""
    out = []
    for step in parse_keys(words):
        if step[0] == "sleep":
            out.append(step)
            continue
        if step[1] not in KEY_CODES:
            raise VMError("unknown key %r (known: %s)" % (step[1], " ".join(sorted(KEY_CODES))))
        code = KEY_CODES[step[1]]
        if step[0] == "press":
            if not 0 <= step[2] <= 10:
                raise VMError("hold %s s out of range (0 to 10)" % step[2])
            out.append("press %d %d" % (code, int(step[2] * 1000)))
        else:
            out.append("%s %d" % (step[0], code))
    return out
