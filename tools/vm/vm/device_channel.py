"""The device's command channel: a client of Debian's qemu-guest-agent, which runs as root on
the device and reads JSON requests from the virtio serial port "org.qemu.guest_agent.0". qemu
serves that port as a unix socket; one client is served at a time and a reply meant for a
client that left goes to the next one, so every connection starts with a delimited sync."""
import base64
import json
import os
import socket
import time

from .common import VMError

PORT_NAME = "org.qemu.guest_agent.0"
# The agent keeps at most this much of a command's output (its GUEST_EXEC_MAX_OUTPUT).
MAX_OUTPUT = 16 << 20
CHUNK = 48 << 10  # bytes per file write request (64 kB of base64)


class ChannelError(VMError):
    """The channel failed: no answer within the limit, or the socket closed."""


class Channel:
    def __init__(self, path, timeout=10.0):
        self.path = path
        self.timeout = timeout
        self.sock = None
        self._buf = b""

    # -- connection

    def connect(self):
        if self.sock is not None:
            return
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        try:
            s.connect(self.path)
        except OSError as e:
            s.close()
            raise ChannelError("no channel at %s: %s" % (self.path, e.strerror))
        self.sock = s
        self._buf = b""
        # 0xff makes the agent drop any half-read request; the reply starts with 0xff too,
        # and whatever was queued for an earlier client comes before it.
        token = int.from_bytes(os.urandom(4), "little") & 0x7FFFFFFF
        self._send(b"\xff" + json.dumps({"execute": "guest-sync-delimited",
                                         "arguments": {"id": token}}).encode() + b"\n")
        end = time.monotonic() + self.timeout
        while True:
            i = self._buf.find(b"\xff")
            if i >= 0:
                self._buf = self._buf[i + 1:]
                break
            self._fill(end, "the sync")
        while self._reply(end, "the sync").get("return") != token:
            pass

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _send(self, data):
        try:
            self.sock.sendall(data)
        except OSError as e:
            self.close()
            raise ChannelError("channel: %s" % (e.strerror or e))

    def _fill(self, end, what):
        left = end - time.monotonic()
        if left <= 0:
            self.close()
            raise ChannelError("the device did not answer %s within %g s" % (what, self.timeout))
        self.sock.settimeout(left)
        try:
            chunk = self.sock.recv(1 << 16)
        except socket.timeout:
            chunk = None
        except OSError as e:
            self.close()
            raise ChannelError("channel: %s" % (e.strerror or e))
        if chunk == b"":
            self.close()
            raise ChannelError("the channel closed during %s" % what)
        if chunk:
            self._buf += chunk

    def _reply(self, end, what):
        while b"\n" not in self._buf:
            self._fill(end, what)
        line, self._buf = self._buf.split(b"\n", 1)
        line = line.strip(b"\xff\r ")
        if not line:
            return {}
        try:
            reply = json.loads(line)
        except ValueError:
            self.close()
            raise ChannelError("the device's agent sent something that is not JSON: %r" % line[:80])
        return reply if isinstance(reply, dict) else {}

    def call(self, command, arguments=None):
        """One request; its "return" value. VMError for the agent's error replies."""
        self.connect()
        msg = {"execute": command}
        if arguments is not None:
            msg["arguments"] = arguments
        self._send(json.dumps(msg).encode() + b"\n")
        end = time.monotonic() + self.timeout
        while True:
            reply = self._reply(end, command)
            if "error" in reply:
                raise VMError("%s: %s" % (command, reply["error"].get("desc", reply["error"])))
            if "return" in reply:
                return reply["return"]

    # -- what the device is asked

    def spawn(self, argv, env):
        """Starts argv (stdin /dev/null, output kept); its PID on the device."""
        return self.call("guest-exec", {"path": argv[0], "arg": argv[1:], "env": env,
                                        "capture-output": True})["pid"]

    def status(self, pid):
        """(exit status or None while it runs, stdout, stderr, truncated)."""
        r = self.call("guest-exec-status", {"pid": pid})
        if not r.get("exited"):
            return None, b"", b"", False
        code = r.get("exitcode")
        if code is None:  # ended by a signal: as a shell reports it
            code = 128 + r.get("signal", 0)
        out = base64.b64decode(r.get("out-data", ""))
        err = base64.b64decode(r.get("err-data", ""))
        return code, out, err, bool(r.get("out-truncated") or r.get("err-truncated"))

    def write_file(self, path, data):
        handle = self.call("guest-file-open", {"path": path, "mode": "w"})
        try:
            for i in range(0, len(data), CHUNK):
                part = data[i:i + CHUNK]
                r = self.call("guest-file-write", {"handle": handle,
                                                   "buf-b64": base64.b64encode(part).decode()})
                if r.get("count") != len(part):
                    raise VMError("%s: the device wrote %s of %d bytes" % (path, r.get("count"), len(part)))
        finally:
            self.call("guest-file-close", {"handle": handle})
