"""Client of qemu's machine protocol."""
import contextlib
import json
import socket
import time

from .common import VMError


class QMP:
    """Client of qemu's machine protocol (vm/keyboard.py types through it)."""

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

    def close(self):
        with contextlib.suppress(OSError):
            self.file.close()
            self.sock.close()
