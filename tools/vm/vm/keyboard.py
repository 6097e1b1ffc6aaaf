"""One keyboard for every guest: key(qcode, down) sends one event, press(qcode, hold) presses,
holds and releases, type(words) takes key words (vm/keys.py). QMPKeyboard types into qemu's
emulated keyboard; PortKeyboard into guest/vkeyboard, which reads the virtio serial port "keys"
(machines without a keyboard: ARM's virt)."""
import socket
import time

from .common import VMError
from .keys import KEY_CODES, KEYBOARD_LINE, parse_keys


class Keyboard:
    def key(self, qcode, down):
        raise NotImplementedError

    def press(self, qcode, hold=0.05):
        raise NotImplementedError

    def type(self, words, gap=0.1):
        """Key words (KEY, KEY:HOLD, +KEY, -KEY, sleep:SECS), `gap` seconds after each key."""
        for step in parse_keys(words):
            if step[0] == "sleep":
                time.sleep(step[1])
                continue
            if step[0] == "press":
                self.press(step[1], step[2])
            else:
                self.key(step[1], step[0] == "down")
            time.sleep(gap)

    def close(self):
        pass


class QMPKeyboard(Keyboard):
    """qemu's emulated keyboard (the PC's AT keyboard), through a vm.QMP client."""

    # The AT keyboard's typematic repeat as the guest's atkbd programs it.
    REPEAT_DELAY = 0.25
    REPEAT_PERIOD = 0.033

    def __init__(self, qmp):
        self.qmp = qmp

    def key(self, qcode, down):
        self.qmp.execute("input-send-event", {"events": [
            {"type": "key", "data": {"down": bool(down), "key": {"type": "qcode", "data": qcode}}}]})

    def press(self, qcode, hold=0.05):
        """qemu does not repeat a held key: like the keyboard's typematic repeat, a hold
        past the repeat delay sends the key down again every period, which the guest
        reads as repeats (value 2)."""
        self.key(qcode, True)
        end = time.monotonic() + hold
        again = end - hold + self.REPEAT_DELAY
        while again < end:
            time.sleep(max(0.0, again - time.monotonic()))
            self.key(qcode, True)
            again += self.REPEAT_PERIOD
        time.sleep(max(0.0, end - time.monotonic()))
        self.key(qcode, False)


class PortKeyboard(Keyboard):
    """vkeyboard's lines on the key port's unix socket at `path`. With `guest` (a vm.VM whose
    console shows vkeyboard's output) each call returns once vkeyboard wrote the event;
    without, a call returns once the line is sent."""

    def __init__(self, path, guest=None, timeout=10.0):
        self.guest = guest
        end = time.monotonic() + timeout
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(path)
                break
            except OSError:
                s.close()
                if time.monotonic() > end:
                    raise VMError("no key port at %s" % path)
                time.sleep(0.05)
        self.sock = s

    def line(self, line):
        """One vkeyboard line ("press 108 50", "down 1", ...)."""
        if not KEYBOARD_LINE.match(line):
            raise VMError("not a keyboard line: %r" % line)
        self._send(line)

    def _send(self, line):
        if self.sock is None:
            raise VMError("key port closed")
        try:
            self.sock.sendall(line.encode() + b"\n")
        except OSError as e:
            raise VMError("key port: %s" % e)

    def _typed(self, line, pattern, timeout):
        mark = self.guest.mark() if self.guest else None
        self.line(line)
        if self.guest:
            # The guest's own expects go on from where they were, not from this line.
            self.guest.expect(pattern, timeout, since=mark, advance=False)

    @staticmethod
    def code(qcode):
        if qcode not in KEY_CODES:
            raise VMError("unknown key %r (known: %s)" % (qcode, " ".join(sorted(KEY_CODES))))
        return KEY_CODES[qcode]

    def key(self, qcode, down):
        code = self.code(qcode)
        self._typed("%s %d" % ("down" if down else "up", code), r"^typed %d %d$" % (code, int(down)), 10)

    def press(self, qcode, hold=0.05):
        code = self.code(qcode)
        if not 0 <= hold <= 10:
            raise VMError("hold %s s out of range (0 to 10)" % hold)
        self._typed("press %d %d" % (code, int(hold * 1000)), r"^typed %d 0$" % code, 10 + hold)

    def quit(self):
        """vkeyboard destroys its device and exits; another one may read the port later."""
        mark = self.guest.mark() if self.guest else None
        self._send("quit")
        if self.guest:
            self.guest.expect(r"^keyboard gone$", 10, since=mark, advance=False)

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None
