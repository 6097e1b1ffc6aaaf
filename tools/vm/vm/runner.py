"""One guest under qemu running one shell command, its console read line by line."""
import contextlib
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from .common import ARCHES, VMError, VMSkip, default_arch
from .image import build_image, command_archive
from .keyboard import PortKeyboard, QMPKeyboard
from .qmp import QMP

EXIT_LINE = re.compile(r"^vm: guest command exited with status (\d+)$")
READY_LINE = "vm: guest ready"


def _die_with_parent():
    # Should the test itself be killed, qemu goes with it.
    with contextlib.suppress(Exception):
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def key_port_args(path):
    """qemu options for the virtio serial port "keys" at the unix socket `path`."""
    return ["-device", "virtio-serial-device",
            "-chardev", "socket,id=keys,path=%s,server=on,wait=off" % path,
            "-device", "virtserialport,chardev=keys,name=keys"]


def qemu_argv(qemu, machine, memory, vmlinuz, initrd, serial, qmp_path, extra=()):
    """The command line of a guest: `serial` the console's options, QMP at `qmp_path`."""
    # KVM here is nested and stalls the guest; TCG boots in seconds.
    accel = ["-accel", os.environ.get("VM_ACCEL", "tcg")]
    return [qemu] + machine["machine"] + accel + [
        "-m", str(memory), "-smp", "1", "-nodefaults", "-no-reboot",
        "-display", "none"] + serial + ["-monitor", "none",
        "-qmp", "unix:%s,server=on,wait=off" % qmp_path,
        "-kernel", vmlinuz, "-initrd", initrd,
        "-append", ("console=%s quiet loglevel=3 panic=-1 %s" % (
            machine["console"], machine.get("kernel_args", ""))).strip()] + list(extra)


class VM:
    """One guest running one shell command. Use as a context manager:

        with VM(build_dir, "sensormon -n 1", timeout=60) as vm:
            vm.expect(r"^activated 0$", 20)
            vm.keyboard.press("down")
            vm.expect(r"^report rotation=180 ", 10)
            status = vm.wait(20)
    """

    def __init__(self, build_dir, script, timeout=120.0, arch=None, env=None,
                 echo=None, prefix="guest| ", cache=None, memory=512, qemu_args=(),
                 layout=None, interactive=False, key_port=False):
        # interactive: the serial console is this process's terminal (no reader, no
        # time limit: a person is at it); wait() then only waits for qemu.
        # key_port: the keyboard is guest/vkeyboard on the virtio serial port "keys"
        # (which the guest script starts: guest_keyboard in guest/helpers.sh), not qemu's.
        arch = arch or default_arch()
        if arch not in ARCHES:
            raise VMError("architecture %s is not supported yet" % arch)
        self.machine = ARCHES[arch]
        qemu = shutil.which(self.machine["qemu"])
        if not qemu:
            raise VMSkip("%s missing (package %s)" % (self.machine["qemu"], self.machine["qemu_package"]))
        self.build_dir = os.path.abspath(build_dir)
        env = dict(env or {})
        env.setdefault("BUILD_DIR", self.build_dir)
        env["PATH"] = "/bin:/sbin:/usr/bin:/usr/sbin:%s/bin" % self.build_dir
        if "libdirs" in self.machine:
            # The guest has no ld.so.cache; the extra folders are not the loader's defaults.
            env.setdefault("LD_LIBRARY_PATH", ":".join(self.machine["libdirs"]))
        self.vmlinuz, initrd = build_image(self.build_dir, arch, cache, layout)
        self.tmp = tempfile.mkdtemp(prefix="vm-run-")
        run_img = os.path.join(self.tmp, "initrd")
        with open(initrd, "rb") as src, open(run_img, "wb") as out:
            shutil.copyfileobj(src, out)
            out.write(b"\0" * (-out.tell() % 4))
            out.write(command_archive(script, env))
        self.qmp_path = os.path.join(self.tmp, "qmp.sock")
        self.echo = sys.stdout if echo is None else echo
        self.prefix = prefix
        self.lines = []
        self.status = None
        self.ready_after = None  # seconds from qemu's start to the guest's ready line
        self._cond = threading.Condition()
        self._eof = False
        self.qmp = None
        self.keyboard = None
        keys_path = os.path.join(self.tmp, "keys.sock")
        if key_port:
            qemu_args = key_port_args(keys_path) + list(qemu_args)
        # signal=off: Ctrl-C at the console is the guest's, not a way to kill qemu.
        serial = (["-chardev", "stdio,id=console,signal=off", "-serial", "chardev:console"]
                  if interactive else ["-serial", "stdio"])
        self.argv = qemu_argv(qemu, self.machine, memory, self.vmlinuz, run_img, serial, self.qmp_path,
                              qemu_args)
        self.started = time.monotonic()
        self.timeout = timeout
        self.expired = False  # the time limit killed qemu
        self.deadline = self.started + timeout
        self.interactive = interactive
        pipe = None if interactive else subprocess.PIPE
        self.proc = subprocess.Popen(self.argv, stdin=pipe, stdout=pipe,
                                     stderr=None if interactive else subprocess.STDOUT,
                                     preexec_fn=_die_with_parent)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._watchdog = threading.Timer(timeout or 0, self._expire)
        self._watchdog.daemon = True
        if not interactive:
            self._reader.start()
            self._watchdog.start()
        try:
            self.qmp = QMP(self.qmp_path, timeout=min(timeout, 15))
            if key_port:
                # Held from before the guest reads: a port without a host end reads as closed.
                self.keyboard = PortKeyboard(keys_path, self if self.keys_echoed else None)
            else:
                self.keyboard = QMPKeyboard(self.qmp)
        except Exception:
            self.close()
            raise

    # -- output

    def _read(self):
        buf = b""
        while True:
            chunk = self.proc.stdout.read1(4096)
            if not chunk:
                break
            buf += chunk
            while b"\n" in buf:
                raw, buf = buf.split(b"\n", 1)
                self._add(raw)
        if buf:
            self._add(buf)
        with self._cond:
            self._eof = True
            self._cond.notify_all()

    def _add(self, raw):
        line = raw.decode("utf-8", "replace").rstrip("\r")
        if self.echo:
            self.echo.write(self.prefix + line + "\n")
            self.echo.flush()
        with self._cond:
            self.lines.append(line)
            if line == READY_LINE and self.ready_after is None:
                self.ready_after = time.monotonic() - self.started
            m = EXIT_LINE.match(line)
            if m:
                self.status = int(m.group(1))
            self._cond.notify_all()

    def _expire(self):
        if self.proc.poll() is None:
            self.expired = True
            self.kill()

    def _last_lines(self):
        tail = "\n".join(self.lines[-15:])
        return "last lines:\n" + tail if tail else "no output from the guest"

    def mark(self):
        """Position in the output; expect and lines can start there."""
        with self._cond:
            return len(self.lines)

    def expect(self, pattern, timeout, since=None, advance=True):
        """Waits for the first line from `since` on (default: after the last match) that
        matches; returns the match. Raises VMError with the recent output otherwise.
        advance=False leaves the next expect's default start where it was."""
        rx = re.compile(pattern)
        pos = self._cursor if since is None else since
        end = time.monotonic() + timeout
        with self._cond:
            while True:
                while pos < len(self.lines):
                    m = rx.search(self.lines[pos])
                    pos += 1
                    if m:
                        if advance:
                            self._cursor = pos
                        return m
                left = end - time.monotonic()
                if left <= 0 or self._eof:
                    why = "%.0f s passed" % timeout
                    if self._eof:
                        why = ("the time limit of %g s was reached, qemu killed" % self.timeout
                               if self.expired else "guest gone")
                    raise VMError("no line matching %r (%s); %s" % (pattern, why, self._last_lines()))
                self._cond.wait(min(left, 0.5))

    _cursor = 0
    keys_echoed = True  # vkeyboard's "typed" lines reach the console (key_port)

    def matching(self, pattern, since=0):
        rx = re.compile(pattern)
        with self._cond:
            return [m for m in (rx.search(line) for line in self.lines[since:]) if m]

    def send_line(self, text):
        """A line on the guest's console input (the command's standard input)."""
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()

    # -- end

    def wait(self, timeout):
        """Waits for the guest command's status line and qemu's end; returns the status."""
        if self.interactive:
            return self.proc.wait(timeout=timeout)
        try:
            self.expect(EXIT_LINE.pattern, timeout, since=0)
        except VMError:
            if self.expired:
                raise VMError("the time limit of %g s was reached before the guest command ended; "
                              "qemu killed; %s" % (self.timeout, self._last_lines()))
            raise
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass
        return self.status

    def kill(self):
        if self.qmp:
            self.qmp.close()
        if self.proc.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.kill(self.proc.pid, signal.SIGKILL)
        with contextlib.suppress(subprocess.TimeoutExpired):
            self.proc.wait(timeout=10)

    def close(self):
        self._watchdog.cancel()
        if self.keyboard:
            self.keyboard.close()
        self.kill()
        if self._reader.is_alive():
            self._reader.join(timeout=5)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def elapsed(self):
        return time.monotonic() - self.started
