"""Client of qemu's machine protocol."""
import contextlib
import json
import socket
import time

from .common import VMError

class QMP:
    """Client of qemu's machine protocol, enough to type keys."""

    def __init__(self, path, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.settimeout(timeout)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise VMError("no QMP socket at %s" % path)
                time.sleep(0.05)
        self.file = self.sock.makefile("rwb")
        self._read()  # greeting
        self.execute("qmp_capabilities")

    def _read(self):
        line = self.file.readline()
        if not line:
            raise VMError("QMP connection closed")
        return json.loads(line)

    def execute(self, command, arguments=None):
        msg = {"execute": command}
        if arguments is not None:
            msg["arguments"] = arguments
        self.file.write(json.dumps(msg).encode() + b"\r\n")
        self.file.flush()
        while True:
            reply = self._read()
            if "event" in reply:
                continue
            if "error" in reply:
                raise VMError("QMP %s: %s" % (command, reply["error"].get("desc")))
            return reply.get("return")

    def key(self, qcode, down):
        """One key event: down (press) or up (release), by qemu's qcode name."""
        self.execute("input-send-event", {"events": [
            {"type": "key", "data": {"down": bool(down), "key": {"type": "qcode", "data": qcode}}}]})

    # The AT keyboard's typematic repeat as the guest's atkbd programs it.
    REPEAT_DELAY = 0.25
    REPEAT_PERIOD = 0.033

    def press(self, qcode, hold=0.05):
        """Down, hold seconds, up. qemu does not repeat a held key: like the keyboard's
        typematic repeat, a hold past the repeat delay sends the key down again every
        period, which the guest reads as repeats (value 2)."""
        self.key(qcode, True)
        end = time.monotonic() + hold
        again = end - hold + self.REPEAT_DELAY
        while again < end:
            time.sleep(max(0.0, again - time.monotonic()))
            self.key(qcode, True)
            again += self.REPEAT_PERIOD
        time.sleep(max(0.0, end - time.monotonic()))
        self.key(qcode, False)

    def close(self):
        with contextlib.suppress(OSError):
            self.file.close()
            self.sock.close()
