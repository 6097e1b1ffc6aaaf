"""A device left running: `start` boots it in the background; exec, install, logs, status,
the console and the keys reach it later through its folder in the build tree, which holds
qemu's PID and its sockets. `stop` powers it off and removes the folder; a device whose qemu
ended some other way is noticed by the next command, which says so and cleans up."""
import base64
import contextlib
import fcntl
import hashlib
import json
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time

from .common import ARCHES, VMError, VMSkip, is_elf
from .device import ARCH, DELIVERABLES, LIBRARY_PATH, PLACES, DeviceLayout, public_keys_path
from .device_channel import MAX_OUTPUT, PORT_NAME, Channel, ChannelError
from .image import _strip, build_image, command_archive
from .qmp import QMP
from .runner import READY_LINE, qemu_argv

MEMORY = 256
DETACH = b"\x1d"  # Ctrl-] leaves the console, as telnet's escape does
# What a command on the device starts with (the device's /etc/profile).
ENV = ["PATH=/system/bin:/system/xbin:/usr/bin:/bin:/usr/sbin:/sbin", "LD_LIBRARY_PATH=" + LIBRARY_PATH,
       "TERM=vt100", "HOME=/"]
# setsid: the command leads a process group of its own, which a time limit ends whole.
# As the shell user it starts in that user's home, as the console's and init's commands do.
AS_SHELL = "exec su -s /bin/sh shell -c 'cd && exec sh -c \"$DEVICE_CMD\"'"
AS_ROOT = 'cd /tmp && exec sh -c "$DEVICE_CMD"'
# The agent's JSON carries text: a command that is not UTF-8 travels in base64.
DECODE = 'DEVICE_CMD=$(echo "$DEVICE_CMD" | base64 -d) && '
HOLD = 1.0  # seconds an exec keeps the channel before it polls on fresh connections


class NoDevice(VMError):
    """No device runs for this build folder."""


class DeviceDied(VMError):
    """qemu ended without `stop`; the state is cleaned up."""


class TimeLimit(VMError):
    """A command ran past its time limit and was killed."""


def _chardev_path(path):
    return path.replace(",", ",,")  # qemu's option syntax doubles commas


def _start_ticks(pid):
    """The process's start time in clock ticks (field 22 of /proc/PID/stat), None when gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return None if fields[0] == "Z" else int(fields[19])


class Session:
    def __init__(self, build_dir):
        self.build_dir = os.path.abspath(build_dir)
        # VM_DEVICE_STATE: another folder, so that a test's device is not the developer's.
        self.state = os.path.abspath(os.environ.get("VM_DEVICE_STATE") or os.path.join(self.build_dir, "device"))
        self.info_file = os.path.join(self.state, "state.json")

    # -- state

    @contextlib.contextmanager
    def lock(self):
        """One start or stop at a time per build folder (the folder itself is locked: no file is left)."""
        fd = os.open(self.build_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)

    def read(self):
        try:
            with open(self.info_file) as f:
                info = json.load(f)
            int(info["pid"]), info["sockets"]
            return info
        except FileNotFoundError:
            return None
        except (OSError, ValueError, KeyError, TypeError):
            # A start that died before it wrote its state, or a damaged file.
            return {"pid": 0, "ticks": None, "since": 0, "sockets": self.state}

    @staticmethod
    def alive(info):
        return info["pid"] > 0 and _start_ticks(info["pid"]) == info.get("ticks")

    def _paths(self, sockets):
        return {k: os.path.join(sockets, k + ".sock") for k in ("agent", "qmp", "console")}

    def cleanup(self, info):
        """Ends qemu if it still runs (by its PID) and removes the state and the sockets."""
        if info and self.alive(info):
            with contextlib.suppress(ProcessLookupError):
                os.kill(info["pid"], signal.SIGKILL)
            self._reap(info, 10)
        if info and info["sockets"] != self.state:
            shutil.rmtree(info["sockets"], ignore_errors=True)
        shutil.rmtree(self.state, ignore_errors=True)

    def _reap(self, info, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            with contextlib.suppress(ChildProcessError):
                os.waitpid(info["pid"], os.WNOHANG)  # qemu is a child when start ran in this process
            if _start_ticks(info["pid"]) != info.get("ticks"):
                return True
            time.sleep(0.05)
        return False

    def running(self):
        """The running device's state; NoDevice, or DeviceDied after cleaning up."""
        info = self.read()
        if info is None:
            raise NoDevice("no device runs (start one: ./dev device start)")
        if not self.alive(info):
            self.cleanup(info)
            raise DeviceDied(self._died(info) + "; cleaned up")
        return info

    def _died(self, info):
        why = "qemu (PID %d) ended without ./dev device stop" % info["pid"] if info["pid"] else \
            "its start did not finish"
        return "the device died: " + why

    # -- start and stop

    def start(self, timeout=300.0, say=print):
        """Boots the device in the background; returns (info, wall s, guest s) once it is up,
        or (info, None, None) when one runs already."""
        with self.lock():
            info = self.read()
            if info is not None:
                if self.alive(info):
                    return info, None, None
                self.cleanup(info)
                say(self._died(info) + "; cleaned up, booting a new one")
            if _answers(public_keys_path()):
                raise VMError("a device already runs here (the console of ./dev device); one at a time")
            return self._boot(timeout, say)

    def _boot(self, timeout, say):
        machine = ARCHES[ARCH]
        qemu = shutil.which(machine["qemu"])
        if not qemu:
            raise VMSkip("%s missing (package %s)" % (machine["qemu"], machine["qemu_package"]))
        vmlinuz, image = build_image(self.build_dir, ARCH, None, DeviceLayout())
        shutil.rmtree(self.state, ignore_errors=True)  # what a start that was killed left
        os.makedirs(self.state)
        sockets = self.state
        if len(os.path.join(sockets, "console.sock")) > 100:
            # A unix socket's path has room for about 100 bytes.
            tag = hashlib.sha256(self.state.encode()).hexdigest()[:12]
            sockets = os.path.join(tempfile.gettempdir(), "device-%d-%s" % (os.getuid(), tag))
            shutil.rmtree(sockets, ignore_errors=True)
            os.makedirs(sockets, 0o700)
        info = {"pid": 0, "ticks": None, "since": time.time(), "sockets": sockets}
        try:
            return self._launch(qemu, machine, vmlinuz, image, info, timeout, say)
        except BaseException:
            self.cleanup(info)
            raise

    def _launch(self, qemu, machine, vmlinuz, image, info, timeout, say):
        paths = self._paths(info["sockets"])
        initrd = os.path.join(self.state, "initrd")
        env = {"DEVICE_SESSION": "1", "BUILD_DIR": self.build_dir,
               "PATH": "/bin:/sbin:/usr/bin:/usr/sbin", "LD_LIBRARY_PATH": LIBRARY_PATH}
        with open(image, "rb") as src, open(initrd, "wb") as out:
            shutil.copyfileobj(src, out)
            out.write(b"\0" * (-out.tell() % 4))
            out.write(command_archive(None, env))
        keys = os.path.join(self.state, "keys")
        # A pipe, not a socket: the guest's keyboard reads the port as closed while no client
        # holds a socket, and vkeyboard would end.
        os.mkfifo(keys + ".in", 0o600)
        os.mkfifo(keys + ".out", 0o600)
        console_log = os.path.join(self.state, "console.log")
        serial = ["-chardev", "socket,id=console,path=%s,server=on,wait=off,logfile=%s"
                  % (_chardev_path(paths["console"]), _chardev_path(console_log)),
                  "-serial", "chardev:console"]
        ports = ["-device", "virtio-serial-device",
                 "-chardev", "pipe,id=keys,path=%s" % _chardev_path(keys),
                 "-device", "virtserialport,chardev=keys,name=keys",
                 "-chardev", "socket,id=agent,path=%s,server=on,wait=off" % _chardev_path(paths["agent"]),
                 "-device", "virtserialport,chardev=agent,name=" + PORT_NAME]
        argv = qemu_argv(qemu, machine, MEMORY, vmlinuz, initrd, serial, _chardev_path(paths["qmp"]), ports)
        t0 = time.monotonic()
        with open(os.path.join(self.state, "qemu.log"), "wb") as err:
            # Its own session: the device outlives this command and the terminal's Ctrl-C.
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                                    start_new_session=True)
        info["pid"] = proc.pid
        info["ticks"] = _start_ticks(proc.pid)
        with open(self.info_file + ".part", "w") as f:
            json.dump(info, f)
        os.replace(self.info_file + ".part", self.info_file)
        end = t0 + timeout
        guest = None
        while guest is None:
            if proc.poll() is not None:
                raise VMError("the device did not boot: qemu ended with status %d; %s"
                              % (proc.returncode, self._tail(console_log, "qemu.log")))
            if time.monotonic() > end:
                raise VMError("the device was not up within %g s; qemu killed; %s"
                              % (timeout, self._tail(console_log)))
            m = re.search(r"^device: up after ([\d.]+) s.*\n(?s:.*)^%s\r?$" % READY_LINE,
                          self._text(console_log), re.M)
            if m:
                guest = float(m.group(1))
            else:
                time.sleep(0.1)
        # The agent's first answer: the channel is there too.
        with Channel(paths["agent"], timeout=max(1.0, end - time.monotonic())) as ch:
            ch.call("guest-ping")
        return info, time.monotonic() - t0, guest

    @staticmethod
    def _text(path):
        try:
            with open(path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def _tail(self, path, other=None):
        lines = [l.rstrip("\r") for l in self._text(path).splitlines()[-15:]]
        if other:
            lines += self._text(os.path.join(self.state, other)).splitlines()[-5:]
        return "last lines:\n" + "\n".join(lines) if lines else "no output from the device"

    def stop(self):
        """Powers the device off; "off", "none" (none ran) or "died" (cleaned up)."""
        with self.lock():
            info = self.read()
            if info is None:
                return "none"
            if not self.alive(info):
                self.cleanup(info)
                return "died"
            # Nothing on the device is kept: it lives in memory, and qemu may just end.
            with contextlib.suppress(VMError, OSError):
                q = QMP(self._paths(info["sockets"])["qmp"], timeout=5)
                with contextlib.suppress(VMError, OSError):
                    q.execute("quit")
                q.close()
            self._reap(info, 10)
            self.cleanup(info)
            return "off"

    # -- commands on the device

    def channel(self, info, timeout=10.0):
        return Channel(self._paths(info["sockets"])["agent"], timeout=timeout)

    def _lost(self, info, e):
        """A channel error: the device died (cleaned up), or the channel itself failed."""
        if not info.get("bare") and not self.alive(info):
            self.cleanup(info)
            return DeviceDied(self._died(info) + "; cleaned up")
        return e

    def run(self, script, root=False, timeout=300.0, info=None, channel=None):
        """(status, stdout, stderr) of `script` in the device's sh, as the user shell or root,
        with stdin at /dev/null. TimeLimit after `timeout` s (the command's process group killed).
        `channel`: another guest's agent socket instead (the bench's bare guest)."""
        if channel:
            info = {"pid": 0, "sockets": os.path.dirname(os.path.abspath(channel)), "bare": True}
        info = info or self.running()
        wrap = AS_ROOT if root else AS_SHELL
        try:
            script.encode("utf-8")
        except UnicodeEncodeError:  # the command line's bytes (surrogate escapes)
            raw = script.encode("utf-8", "surrogateescape")
            script, wrap = base64.b64encode(raw).decode(), DECODE + wrap
        argv = ["/bin/busybox", "setsid", "sh", "-c", wrap]
        ch = Channel(channel, 10.0) if channel else self.channel(info)
        pid = None
        try:
            t0 = time.monotonic()
            pid = ch.spawn(argv, ENV + ["DEVICE_CMD=" + script])
            delay = 0.002
            while True:
                code, out, err, truncated = ch.status(pid)
                if code is not None:
                    if truncated:
                        err += b"\ndevice: the output was cut at %d bytes\n" % MAX_OUTPUT
                    return code, out, err
                spent = time.monotonic() - t0
                if spent > timeout:
                    ch.close()  # the socket serves one client at a time
                    self._end(info, pid)
                    pid = None
                    raise TimeLimit("the time limit of %g s was reached before the command ended; "
                                    "its processes were killed" % timeout)
                if spent > HOLD:
                    ch.close()  # others may use the channel while this runs on
                    delay = 0.25
                time.sleep(delay)
                delay = min(delay * 2, 0.05) if spent <= HOLD else delay
        except ChannelError as e:
            raise self._lost(info, e)
        except KeyboardInterrupt:
            ch.close()
            if pid is not None:
                with contextlib.suppress(VMError):
                    self._end(info, pid)
            raise
        finally:
            ch.close()

    def _end(self, info, pid):
        with Channel(os.path.join(info["sockets"], "agent.sock")) as ch:
            ch.call("guest-exec", {"path": "/bin/busybox", "arg": ["kill", "-KILL", "--", "-%d" % pid]})
            end = time.monotonic() + 5
            while ch.status(pid)[0] is None and time.monotonic() < end:
                time.sleep(0.05)

    def root(self, script, info, timeout=60.0):
        """stdout of a root script that must succeed."""
        code, out, err = self.run(script, root=True, timeout=timeout, info=info)
        if code != 0:
            raise VMError("on the device, %r: status %d: %s" % (script[:60], code,
                                                               (err or out).decode("utf-8", "replace").strip()))
        return out.decode("utf-8", "replace")

    def install(self, paths, say=print):
        """Copies deliverables to their platform paths (atomically: a running program keeps
        its old file), then restarts the services that load them."""
        items = resolve(self.build_dir, paths)
        info = self.running()
        restart = []
        try:
            for name, host, guest, owner, mode, service in items:
                data = _strip(host)
                new = "%d bytes, sha256 %s" % (len(data), hashlib.sha256(data).hexdigest()[:16])
                old = self.root("[ -f %s ] && echo \"$(stat -c %%s %s) bytes, sha256 $(sha256sum < %s | cut -c1-16)\""
                                " || echo none" % (guest, guest, guest), info).strip()
                if old == new:
                    say("%s: unchanged (%s)" % (guest, new))
                    continue
                with self.channel(info, timeout=30) as ch:
                    ch.write_file(guest + ".new", data)
                self.root("chown %s %s.new && chmod %o %s.new && mv -f %s.new %s"
                          % (owner, guest, mode, guest, guest, guest), info)
                say("%s: %s -> %s" % (guest, old, new))
                if service and service not in restart:
                    restart.append(service)
            for service in restart:
                say(self.root("sh /vm/services.sh restart %s" % service, info, timeout=30).strip())
        except ChannelError as e:
            raise self._lost(info, e)

    def log_names(self, info):
        out = self.root("cd /data/log && ls", info)
        return sorted(n[:-4] for n in out.split() if n.endswith(".log"))

    def logs(self, name, follow, write):
        """Writes the logs (all, each line prefixed with its name, or NAME's); with `follow`,
        what they gain, until interrupted."""
        info = self.running()
        names = self.log_names(info)
        if name is not None and name not in names:
            raise LookupError("no log %s on the device (there are: %s)" % (name, " ".join(names)))
        want = [name] if name else names
        seen = {}  # name -> (inode, offset, partial line)
        while True:
            # One request for every file's size and inode; then only the new bytes.
            sizes = {}
            listing = self.root("cd /data/log && stat -c '%%n %%s %%i' %s 2>/dev/null; true"
                                % " ".join(n + ".log" for n in want) if want else "true", info)
            for line in listing.splitlines():
                parts = line.split()
                if len(parts) == 3 and parts[0].endswith(".log"):
                    sizes[parts[0][:-4]] = (int(parts[1]), parts[2])
            for n in want:
                size, inode = sizes.get(n, (0, None))
                old_inode, offset, partial = seen.get(n, (inode, 0, b""))
                if inode != old_inode or size < offset:
                    offset, partial = 0, b""  # restarted: a new file
                if size > offset:
                    code, out, _ = self.run("tail -c +%d /data/log/%s.log" % (offset + 1, n), root=True,
                                            info=info)
                    offset += len(out)
                    lines = (partial + out).split(b"\n")
                    partial = lines.pop()
                    for raw in lines:
                        write(raw, n if name is None else None)
                seen[n] = (inode, offset, partial)
            if not follow:
                for n in want:
                    if seen[n][2]:
                        write(seen[n][2], n if name is None else None)
                return
            time.sleep(0.3)
            if not self.alive(info):
                self.cleanup(info)
                raise DeviceDied(self._died(info) + "; cleaned up")
            if name is None:
                want = self.log_names(info)

    # -- the console and the keys

    def attach(self):
        """The running device's serial console on this terminal, until Ctrl-]."""
        import socket
        import termios
        import tty
        info = self.running()
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
        try:
            s.connect(self._paths(info["sockets"])["console"])
        except OSError as e:
            s.close()
            raise VMError("the device's console: %s" % e.strerror)
        saved = termios.tcgetattr(0) if os.isatty(0) else None
        try:
            if saved:
                tty.setraw(0)
            s.sendall(b"\r")  # a fresh prompt
            while True:
                r, _, _ = select.select([0, s], [], [], 1.0)
                if s in r:
                    data = s.recv(4096)
                    if not data:
                        break
                    os.write(1, data)
                if 0 in r:
                    data = os.read(0, 1024)
                    if not data or DETACH in data:
                        s.sendall(data.split(DETACH)[0])
                        return "left"
                    s.sendall(data)
                if not r and not self.alive(info):
                    break
        finally:
            if saved:
                termios.tcsetattr(0, termios.TCSADRAIN, saved)
            s.close()
        self.cleanup(info)
        raise DeviceDied(self._died(info) + "; cleaned up")

    def keys_path(self):
        return os.path.join(self.state, "keys.in")


def _answers(path):
    import socket
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM | socket.SOCK_CLOEXEC)
    try:
        s.connect(path)
        return True
    except OSError:
        return False
    finally:
        s.close()


def resolve(build_dir, paths):
    """The deliverables to install: (name, host, guest, owner, mode, service) for each PATH
    (all of them when none is given). VMError for a file that is not an armhf deliverable."""
    if not paths:
        paths = [os.path.join(build_dir, rel) for rel, _, _, _ in DELIVERABLES.values()]
    items = []
    for p in paths:
        name = os.path.basename(p)
        if name not in DELIVERABLES:
            raise LookupError("%s is not a deliverable (%s)" % (p, ", ".join(DELIVERABLES)))
        if not os.path.isfile(p):
            raise LookupError("%s: no such file (build it: ./dev build --arch armhf)" % p)
        with open(p, "rb") as f:
            head = f.read(20)
        # e_machine 40: 32-bit ARM (another build's agent would not run there).
        if not is_elf(p) or head[4] != 1 or int.from_bytes(head[18:20], "little") != 40:
            raise LookupError("%s is not an armhf build of %s" % (p, name))
        rel, owner, mode, service = DELIVERABLES[name]
        items.append((name, p, PLACES[rel], owner, mode, service))
    return items
