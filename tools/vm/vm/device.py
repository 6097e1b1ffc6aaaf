"""The device: the deliverables at their platform paths on the armhf kernel, the platform's
services started by an init of its own, each as its own user, under a system bus that denies
by default, and a console for the shell user. One boot is one `Device` (a `VM`)."""
import glob
import hashlib
import os
import shutil
import socket
import subprocess
import tempfile
import time

from .common import ARCHES, PROJECT, VMError, VMSkip, apt_download, guest_lib_path, is_elf, locked, log
from .image import Layout, add_libraries
from .kernel import fetch_extra_modules
from .keys import KEYBOARD_LINE, keyboard_lines
from .runner import VM

ARCH = "armhf"

# Where the Android.mk files install the deliverables, and the platform's own programs.
PLACES = {
    "bin/agent": "/system/bin/agent",
    "bin/service": "/system/bin/service",
    "lib/sensors.vardel.so": "/system/lib/hw/sensors.vardel.so",
    "bin/btdaemon": "/system/bin/btdaemon",
    "bin/servicemanager": "/system/bin/servicemanager",
    "bin/binder-samples": "/system/bin/binder-samples",
    "bin/sensormon": "/system/bin/sensormon",
    "bin/vkeyboard": "/system/bin/vkeyboard",
}
# Tools for the tests and the bench; a build without them still boots.
EXTRAS = {
    "bin/evprobe": "/system/xbin/evprobe",
    "bin/agent_bare_responder": "/system/xbin/agent_bare_responder",
    "bin/service-bench": "/system/xbin/service-bench",
}

# Debian's bus daemon and what it needs beyond the cross build's libraries, fetched and
# unpacked like the kernel; dbus-bin brings dbus-send, a peer independent of ours.
PACKAGES = ["dbus-daemon:armhf", "dbus-bin:armhf", "dbus-system-bus-common", "libapparmor1:armhf",
            "libaudit1:armhf", "libcap-ng0:armhf", "libexpat1:armhf", "libselinux1:armhf",
            "libpcre2-8-0:armhf"]
FROM_PACKAGES = ["/usr/bin/dbus-daemon", "/usr/bin/dbus-send", "/usr/bin/dbus-monitor",
                 "/usr/share/dbus-1/system.conf"]

USERS = [  # name, uid, home; each user's group has its uid
    ("root", 0, "/root"), ("messagebus", 100, "/nonexistent"), ("system", 1000, "/data/system"),
    ("bluetooth", 1002, "/data/misc/bluetooth"), ("shell", 2000, "/data/local/tmp"),
    ("stranger", 9999, "/tmp"),
]
INPUT_GROUP = "input:x:1004:system,shell\n"  # the input devices: the sensor service and getevent

# The vendor's policy for the Bluetooth daemon, on top of Debian's deny-by-default system.conf.
POLICY = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <!-- Only the daemon's user runs the daemon and calls agents. -->
  <policy user="bluetooth">
    <allow own="org.velto"/>
    <allow send_destination="org.velto"/>
    <allow send_interface="org.velto.Agent"/>
  </policy>
  <!-- The device's shell user may call the daemon, and so run an agent. -->
  <policy user="shell">
    <allow send_destination="org.velto"/>
  </policy>
  <policy context="default">
    <deny own="org.velto"/>
    <deny send_interface="org.velto.Agent"/>
  </policy>
</busconfig>
"""

# mdev gives a node that no line names root:root 660; those everyone uses keep 666.
# It matches "input/eventN" or, by a path, the sysfs one: the pattern takes any prefix.
MDEV = """(null|zero|full|random|urandom|tty|ptmx) root:root 666
.*event[0-9]+ root:input 660
uinput root:system 660
binder root:root 666
"""

LIBRARY_PATH = ":".join(ARCHES[ARCH]["libdirs"])
PROFILE = """export PATH=/system/bin:/system/xbin:/usr/bin:/bin:/usr/sbin:/sbin
export LD_LIBRARY_PATH=%s
export TERM=${TERM:-vt100}
PS1='vardel:$PWD $ '
""" % LIBRARY_PATH

INIT = r"""#!/bin/busybox sh
# The device's init: what the platform starts, each as its own user, then the shell
# user's console (or the host's one command) and power-off.
/bin/busybox mkdir -p /proc /sys /dev /tmp /sbin /usr/bin /usr/sbin /run /data/log
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=755 tmpfs /run
for m in /vm/modules/*.ko; do
    insmod "$m" || echo "device: insmod $m failed"
done
# Device nodes get the owners of /etc/mdev.conf, also those made later (uinput's).
mdev -s
mdev -d
[ -f /vm/env ] && . /vm/env
. /etc/profile
hostname vardel
mkdir -p /run/dbus /data/local/tmp /data/system /data/misc/bluetooth
chown shell:shell /data/local/tmp
chown system:system /data/system
chown bluetooth:bluetooth /data/misc/bluetooth

# start USER NAME COMMAND: COMMAND as USER in the background, its output (log included)
# in /data/log/NAME.log for anyone to read, its PID in /run/NAME.pid.
# /data/log/init.log tells where the boot's time goes (guest clock).
start() {
    su -s /bin/sh "$1" -c "exec $3" < /dev/null > /data/log/$2.log 2>&1 &
    echo $! > /run/$2.pid
    echo "$(cut -d' ' -f1 /proc/uptime) started $2 ($1)" >> /data/log/init.log
}
# await NAME PATTERN: PATTERN in NAME's log within 10 s while NAME runs.
await() {
    i=0
    until grep -q "$2" /data/log/$1.log 2>/dev/null; do
        kill -0 $(cat /run/$1.pid) 2>/dev/null || {
            echo "device: $1 ended: $(tail -n 3 /data/log/$1.log)"; return 1; }
        i=$((i+1)); [ $i -gt 200 ] && { echo "device: $1 not ready after 10 s"; return 1; }
        usleep 50000
    done
    echo "$(cut -d' ' -f1 /proc/uptime) $1 is up" >> /data/log/init.log
}

# What depends on nothing starts at once; the rest as soon as what it needs is up.
# The bus drops to messagebus itself (system.conf's <user>).
start root dbus "dbus-daemon --system --nofork --nopidfile --print-address"
start system servicemanager servicemanager
# No keyboard on this machine: vkeyboard makes one, typed from the host on the port "keys".
port=
i=0
while [ -z "$port" ] && [ $i -lt 100 ]; do
    for p in /sys/class/virtio-ports/*; do
        [ "$(cat $p/name 2>/dev/null)" = keys ] && port=/dev/${p##*/}
    done
    [ -n "$port" ] || { i=$((i+1)); usleep 50000; }
done
if [ -n "$port" ]; then
    start root keyboard "vkeyboard < $port"
else
    echo "device: no key port; no keyboard"
fi
await dbus unix: && start bluetooth btdaemon btdaemon
await servicemanager serving && start system samples binder-samples
# The sensor service loads the module by id and variant from /system/lib/hw, after the
# keyboard is there; its log shows every priority.
[ -n "$port" ] && await keyboard 'keyboard ready'
start system sensors "env ANDROID_LOG_TAGS='*:v' sensormon -d /system/lib/hw"
await samples serving
await btdaemon 'owner org.velto'
await sensors 'activated 0'
read up _ < /proc/uptime

if [ -f /vm/cmd.sh ]; then
    # Host input on the serial line is for the command, not to be echoed back.
    stty -echo < /dev/console 2>/dev/null
    echo "device: up after $up s of guest time"
    echo "vm: guest ready"
    chmod 644 /vm/cmd.sh
    # Given as text, not as a file, so that the shell's messages name the command
    # ("sh: nosuchcmd: not found"), not this image's script.
    if [ "$DEVICE_USER" = root ]; then
        (cd /tmp && sh -c "$(cat /vm/cmd.sh)")
    else
        su -s /bin/sh shell -c 'cd && exec sh -c "$(cat /vm/cmd.sh)"'
    fi
    rc=$?
    echo
    echo "vm: guest command exited with status $rc"
else
    [ -n "$COLUMNS" ] && stty cols "$COLUMNS" rows "$LINES" < /dev/console
    echo "device: up after $up s of guest time; console of the user shell ('exit' powers off)"
    echo "device: try agent 0000, service list, service call echo 1 i32 7; keys from the host: ./dev device --keys down esc"
    echo "device: logs in /data/log (sensors.log: the sensor service and the module's log)"
    setsid cttyhack su -l -s /bin/sh shell
    echo "device: powering off"
fi
for f in /run/*.pid; do kill -TERM $(cat $f) 2>/dev/null; done
sleep 0.2
for f in /run/*.pid; do kill -KILL $(cat $f) 2>/dev/null; done
echo 0 > /proc/sys/kernel/printk  # the kernel's own power-down line
poweroff -f
"""


# Shell helpers for guest scripts that run as root (DEVICE_USER=root) and play users.
# Every wait is bounded; a background program's PID is its own ($AS ... -c 'exec ...' &).
GUEST_HELPERS = r"""
AS="su -s /bin/sh"
as() { u=$1; shift; $AS "$u" -c "exec $*"; }
upto() { # FILE PATTERN: PATTERN in FILE within 10 s
  i=0; until grep -q "$2" "$1" 2>/dev/null; do i=$((i+1)); [ $i -gt 200 ] && return 1; usleep 50000; done
}
ends() { # PID: its end within 10 s, or SIGKILL; prints its status
  i=0; while kill -0 $1 2>/dev/null && [ $i -lt 200 ]; do i=$((i+1)); usleep 50000; done
  kill -KILL $1 2>/dev/null; wait $1; echo "status $?"
}
# The platform's daemon makes way for one that calls the agent only when told (on fd 5).
scripted_daemon() {
  kill $(cat /run/btdaemon.pid)
  mkfifo /tmp/bt.in
  $AS bluetooth -c 'exec btdaemon --script' < /tmp/bt.in > /tmp/bt.out 2>&1 & bt=$!
  exec 5> /tmp/bt.in
  upto /tmp/bt.out '^owner org.velto' || echo "no scripted daemon"
}
"""


def fetch_packages(cache):
    """Folder holding the unpacked PACKAGES, fetched with apt-get download on first use."""
    key = hashlib.sha256(" ".join(PACKAGES).encode()).hexdigest()[:12]
    root = os.path.join(cache, ARCH, "device", key)
    with locked(os.path.join(cache, ARCH, ".device.lock")):
        if os.path.exists(os.path.join(root, ".complete")):
            return root
        if not shutil.which("apt-get") or not shutil.which("dpkg-deb"):
            raise VMSkip("apt-get/dpkg-deb missing: cannot fetch %s" % PACKAGES[0])
        part = root + ".part"
        shutil.rmtree(part, ignore_errors=True)
        os.makedirs(part)
        with tempfile.TemporaryDirectory(prefix="vm-device-") as tmp:
            os.chmod(tmp, 0o755)  # apt's sandbox user writes here
            for pkg in PACKAGES:
                log("downloading %s" % pkg)
                apt_download(pkg, tmp)
            for deb in sorted(glob.glob(os.path.join(tmp, "*.deb"))):
                r = subprocess.run(["dpkg-deb", "-x", deb, part], capture_output=True, text=True)
                if r.returncode != 0:
                    raise VMError("dpkg-deb -x %s: %s" % (os.path.basename(deb), r.stderr.strip()))
        open(os.path.join(part, ".complete"), "w").close()
        shutil.rmtree(root, ignore_errors=True)
        os.rename(part, root)
        return root


class DeviceLayout(Layout):
    name = "device"
    init = INIT

    def inputs(self, build_dir, arch, kernel, busybox, cache):
        if arch != ARCH:
            raise VMError("the device is %s, not %s" % (ARCH, arch))
        files = {"/bin/busybox": busybox}
        for ko in sorted(glob.glob(os.path.join(kernel, "modules", "*.ko")) +
                         glob.glob(os.path.join(fetch_extra_modules(arch, cache, kernel),
                                                "modules", "*.ko"))):
            files["/vm/modules/" + os.path.basename(ko)] = ko
        for rel, guest in list(PLACES.items()) + list(EXTRAS.items()):
            host = os.path.join(build_dir, rel)
            if os.path.isfile(host):
                files[guest] = host
            elif rel in PLACES:
                raise VMError("%s lacks %s (build it: ./dev build --arch armhf)" % (build_dir, rel))
        root = fetch_packages(cache)
        for guest in FROM_PACKAGES:
            files[guest] = os.path.join(root, guest.lstrip("/"))

        def guest_path(lib):
            if lib.startswith(root + "/"):
                lib = lib[len(root):]
                # The image's /lib is a link to usr/lib.
                return "/usr" + lib if lib.startswith("/lib/") else lib
            return guest_lib_path(lib)

        libdirs = [os.path.join(root, d) for d in ("usr/lib/arm-linux-gnueabihf",
                                                   "lib/arm-linux-gnueabihf")]
        elves = [h for g, h in files.items() if is_elf(h) and not h.endswith(".ko")
                 and g != "/bin/busybox"]
        add_libraries(files, elves, arch, libdirs, guest_path)
        return files

    def generated(self):
        passwd = "".join("%s:x:%d:%d::%s:/bin/sh\n" % (n, u, u, h) for n, u, h in USERS)
        group = "".join("%s:x:%d:\n" % (n, u) for n, u, _ in USERS) + INPUT_GROUP
        return {
            "/etc/passwd": (passwd.encode(), 0o644),
            "/etc/group": (group.encode(), 0o644),
            "/etc/nsswitch.conf": (b"passwd: files\ngroup: files\n", 0o644),
            "/etc/machine-id": (b"56617264656c2064657669636520310a\n", 0o644),
            "/etc/profile": (PROFILE.encode(), 0o644),
            "/etc/mdev.conf": (MDEV.encode(), 0o644),
            "/etc/dbus-1/system.d/org.velto.conf": (POLICY.encode(), 0o644),
        }


def key_port_args(path):
    """qemu options for the virtio serial port "keys" at the unix socket `path`."""
    return ["-device", "virtio-serial-device",
            "-chardev", "socket,id=keys,path=%s,server=on,wait=off" % path,
            "-device", "virtserialport,chardev=keys,name=keys"]


class Device(VM):
    """One boot of the device. `script` runs as the shell user (as root with
    env={"DEVICE_USER": "root"}); None gives the console (interactive=True)."""

    def __init__(self, build_dir, script=None, timeout=300.0, **kw):
        self.keys_dir = tempfile.mkdtemp(prefix="vm-keys-")
        path = os.path.join(self.keys_dir, "keys.sock")
        self._keys = None
        kw.setdefault("memory", 256)
        try:
            super().__init__(build_dir, script, timeout=timeout, arch=ARCH, layout=DeviceLayout(),
                             qemu_args=key_port_args(path) + list(kw.pop("qemu_args", ())), **kw)
            # Held from before the guest reads: a port without a host end reads as closed.
            self._keys = _connect(path, 10)
        except BaseException:
            self.close()
            raise

    def type_line(self, line):
        """One vkeyboard line ("press 108 50", "down 1", ...) to the guest's keyboard."""
        if not KEYBOARD_LINE.match(line):
            raise VMError("not a keyboard line: %r" % line)
        try:
            self._keys.sendall(line.encode() + b"\n")
        except OSError as e:
            raise VMError("key port: %s" % e)

    def type_keys(self, words, gap=0.1):
        for line in keyboard_lines(words):
            if isinstance(line, tuple):
                time.sleep(line[1])
            else:
                self.type_line(line)
                time.sleep(gap)

    def close(self):
        if self._keys:
            self._keys.close()
            self._keys = None
        if hasattr(self, "proc"):
            super().close()
        shutil.rmtree(self.keys_dir, ignore_errors=True)


def _connect(path, timeout):
    end = time.monotonic() + timeout
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if time.monotonic() > end:
                raise VMError("no key port at %s" % path)
            time.sleep(0.05)


def public_keys_path():
    """Where `./dev device --keys` finds the running device."""
    path = os.path.join(PROJECT, ".cache", "device", "keys.sock")
    if len(path) < 100:
        return path
    # A unix socket's path has room for about 100 bytes.
    tag = hashlib.sha256(PROJECT.encode()).hexdigest()[:12]
    return os.path.join(tempfile.gettempdir(), "device-%d-%s" % (os.getuid(), tag), "keys.sock")
