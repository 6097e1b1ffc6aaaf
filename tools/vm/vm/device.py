"""The device: the deliverables at their platform paths on the armhf kernel, the platform's
services started by an init of its own, each as its own user, under a system bus that denies
by default, and a console for the shell user. One boot is one `Device` (a `VM`)."""
import glob
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import time

from .common import ARCHES, PROJECT, VMError, VMSkip, apt_download, guest_lib_path, is_elf, locked, log
from .image import HELPERS_PATH, Layout, add_libraries
from .kernel import fetch_extra_modules
from .keys import keyboard_lines
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
    "lib/uinput_tap.so": "/system/xbin/uinput_tap.so",
}

# Debian's bus daemon and what it needs beyond the cross build's libraries, fetched and
# unpacked like the kernel; dbus-bin brings dbus-send, a peer independent of ours.
PACKAGES = ["dbus-daemon:armhf", "dbus-bin:armhf", "dbus-system-bus-common", "libapparmor1:armhf",
            "libaudit1:armhf", "libcap-ng0:armhf", "libexpat1:armhf", "libselinux1:armhf",
            "libpcre2-8-0:armhf"]
FROM_PACKAGES = ["/usr/bin/dbus-daemon", "/usr/bin/dbus-send", "/usr/bin/dbus-monitor",
                 "/usr/share/dbus-1/system.conf"]
# The command channel (vm/device_channel.py): Debian's guest agent, with the packages its
# Depends name, whatever they are called in this release (glib is libglib2.0-0t64 on Debian 13).
AGENT_PACKAGE = "qemu-guest-agent:armhf"
AGENT_PATH = "/usr/sbin/qemu-ga"
# Provided by the cross build's own libraries, or not libraries at all.
AGENT_SKIP = {"libc6", "libgcc-s1", "libstdc++6", "debconf", "init-system-helpers", "adduser"}

# The deliverables that `install` replaces on a running device: owner, mode, and the service
# that loads them (restarted so that the new file is the one in use).
DELIVERABLES = {
    "agent": ("bin/agent", "root:root", 0o755, None),
    "service": ("bin/service", "root:root", 0o755, None),
    "sensors.vardel.so": ("lib/sensors.vardel.so", "root:root", 0o644, "sensors"),
}

USERS = [  # name, uid, home; each user's group has its uid
    ("root", 0, "/root"), ("messagebus", 100, "/nonexistent"), ("system", 1000, "/data/system"),
    ("bluetooth", 1002, "/data/misc/bluetooth"), ("shell", 2000, "/data/local/tmp"),
    ("stranger", 9999, "/tmp"),
]
INPUT_GROUP = "input:x:1004:system,shell\n"  # the input devices: the sensor service and getevent

# The device's own files: its init, the vendor's bus policy for the Bluetooth daemon, mdev's
# rules and the shell's profile. The image's stamp holds their contents: a change rebuilds it.
FILES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "device")


def _read(name):
    with open(os.path.join(FILES, name)) as f:
        return f.read()


LIBRARY_PATH = ":".join(ARCHES[ARCH]["libdirs"])

# Guest scripts start with this line for the shared helpers (guest/helpers.sh): `upto`, `ends`,
# `as` and $AS for playing users, `scripted_daemon`.
GUEST_HELPERS = ". %s\n" % HELPERS_PATH


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


def _depends(deb):
    """Package names of a .deb's Depends and Pre-Depends (the first of each alternative)."""
    out = subprocess.run(["dpkg-deb", "-f", deb, "Depends", "Pre-Depends"], capture_output=True,
                         text=True).stdout
    names = []
    for line in out.splitlines():
        for dep in line.split(":", 1)[-1].split(","):
            name = dep.split("|")[0].split("(")[0].strip().split(":")[0]
            if name:
                names.append(name)
    return names


def fetch_agent(cache):
    """Folder holding the guest agent and the libraries it depends on, unpacked; the
    dependencies are read from the packages themselves, so the release's names hold."""
    # The candidate's version in the key: a cache shared by two releases keeps one of each.
    try:
        show = subprocess.run(["apt-cache", "show", "--no-all-versions", AGENT_PACKAGE], capture_output=True,
                              text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        show = ""
    version = re.search(r"^Version: (\S+)", show, re.M)
    key = hashlib.sha256((AGENT_PACKAGE + (version.group(1) if version else "")).encode()).hexdigest()[:12]
    root = os.path.join(cache, ARCH, "agent", key)
    with locked(os.path.join(cache, ARCH, ".agent.lock")):
        have = sorted(glob.glob(os.path.join(cache, ARCH, "agent", "*", ".complete")))
        if os.path.exists(os.path.join(root, ".complete")):
            return root
        if not version and have:
            return os.path.dirname(have[-1])  # no package lists: what was fetched before serves
        if not shutil.which("apt-get") or not shutil.which("dpkg-deb"):
            raise VMSkip("apt-get/dpkg-deb missing: cannot fetch %s" % AGENT_PACKAGE)
        part = root + ".part"
        shutil.rmtree(part, ignore_errors=True)
        os.makedirs(part)
        with tempfile.TemporaryDirectory(prefix="vm-agent-") as tmp:
            os.chmod(tmp, 0o755)  # apt's sandbox user writes here
            todo, seen = [AGENT_PACKAGE.split(":")[0]], set(AGENT_SKIP)
            while todo:
                name = todo.pop()
                if name in seen:
                    continue
                seen.add(name)
                log("downloading %s:%s" % (name, ARCH))
                before = set(os.listdir(tmp))
                apt_download("%s:%s" % (name, ARCH), tmp)
                for deb in sorted(set(os.listdir(tmp)) - before):
                    todo += _depends(os.path.join(tmp, deb))
            for deb in sorted(glob.glob(os.path.join(tmp, "*.deb"))):
                r = subprocess.run(["dpkg-deb", "-x", deb, part], capture_output=True, text=True)
                if r.returncode != 0:
                    raise VMError("dpkg-deb -x %s: %s" % (os.path.basename(deb), r.stderr.strip()))
        if not os.path.isfile(os.path.join(part, AGENT_PATH.lstrip("/"))):
            raise VMSkip("%s has no %s" % (AGENT_PACKAGE, AGENT_PATH))
        open(os.path.join(part, ".complete"), "w").close()
        shutil.rmtree(root, ignore_errors=True)
        os.rename(part, root)
        return root


def _add_package_libraries(files, elves, arch, roots):
    """The libraries of `elves`, from the unpacked packages under `roots` first."""
    def guest_path(lib):
        for r in roots:
            if lib.startswith(r + "/"):
                lib = lib[len(r):]
                # The image's /lib is a link to usr/lib.
                return "/usr" + lib if lib.startswith("/lib/") else lib
        return guest_lib_path(lib)

    libdirs = [os.path.join(r, d) for r in roots for d in ("usr/lib/arm-linux-gnueabihf",
                                                            "lib/arm-linux-gnueabihf")]
    add_libraries(files, elves, arch, libdirs, guest_path)


def _modules(files, arch, kernel, cache):
    for ko in sorted(glob.glob(os.path.join(kernel, "modules", "*.ko")) +
                     glob.glob(os.path.join(fetch_extra_modules(arch, cache, kernel), "modules", "*.ko"))):
        files["/vm/modules/" + os.path.basename(ko)] = ko


class AgentLayout(Layout):
    """A bare armhf guest: busybox, the kernel's modules and the guest agent alone, for the
    command channel's baseline (bench/vm). Its script starts the agent (AGENT_SCRIPT)."""

    name = "agent"

    def inputs(self, build_dir, arch, kernel, busybox, cache):
        files = {"/bin/busybox": busybox}
        _modules(files, arch, kernel, cache)
        agent = fetch_agent(cache)
        files[AGENT_PATH] = os.path.join(agent, AGENT_PATH.lstrip("/"))
        _add_package_libraries(files, [files[AGENT_PATH]], arch, (agent,))
        return files


AGENT_SCRIPT = r"""
for i in $(seq 100); do
  for p in /sys/class/virtio-ports/*; do
    [ "$(cat $p/name 2>/dev/null)" = org.qemu.guest_agent.0 ] && port=/dev/${p##*/}
  done
  [ -n "$port" ] && break; usleep 50000
done
mkdir -p /run; qemu-ga -m virtio-serial -p "$port" -f /run/qemu-ga.pid -t /run & ga=$!
echo "agent up"
read line
kill $ga
"""


class DeviceLayout(Layout):
    name = "device"

    def __init__(self):
        self.init = _read("init.sh")

    def inputs(self, build_dir, arch, kernel, busybox, cache):
        if arch != ARCH:
            raise VMError("the device is %s, not %s" % (ARCH, arch))
        files = {"/bin/busybox": busybox}
        _modules(files, arch, kernel, cache)
        for rel, guest in list(PLACES.items()) + list(EXTRAS.items()):
            host = os.path.join(build_dir, rel)
            if os.path.isfile(host):
                files[guest] = host
            elif rel in PLACES:
                raise VMError("%s lacks %s (build it: ./dev build --arch armhf)" % (build_dir, rel))
        root = fetch_packages(cache)
        for guest in FROM_PACKAGES:
            files[guest] = os.path.join(root, guest.lstrip("/"))
        agent = fetch_agent(cache)
        files[AGENT_PATH] = os.path.join(agent, AGENT_PATH.lstrip("/"))
        elves = [h for g, h in files.items() if is_elf(h) and not h.endswith(".ko")
                 and g != "/bin/busybox"]
        _add_package_libraries(files, elves, arch, (root, agent))
        return files

    def mode(self, guest, host):
        for rel, _, mode, _ in DELIVERABLES.values():
            if PLACES[rel] == guest:
                return mode
        return super().mode(guest, host)

    def generated(self):
        passwd = "".join("%s:x:%d:%d::%s:/bin/sh\n" % (n, u, u, h) for n, u, h in USERS)
        group = "".join("%s:x:%d:\n" % (n, u) for n, u, _ in USERS) + INPUT_GROUP
        return {
            "/etc/passwd": (passwd.encode(), 0o644),
            "/etc/group": (group.encode(), 0o644),
            "/etc/nsswitch.conf": (b"passwd: files\ngroup: files\n", 0o644),
            "/etc/machine-id": (b"56617264656c2064657669636520310a\n", 0o644),
            "/etc/profile": (_read("profile").replace("@LIBRARY_PATH@", LIBRARY_PATH).encode(), 0o644),
            "/etc/mdev.conf": (_read("mdev.conf").encode(), 0o644),
            "/vm/services.sh": (_read("services.sh").encode(), 0o755),
            "/etc/dbus-1/system.d/org.velto.conf": (_read("org.velto.conf").encode(), 0o644),
        }


class Device(VM):
    """One boot of the device. `script` runs as the shell user (as root with
    env={"DEVICE_USER": "root"}); None gives the console (interactive=True).
    Its keyboard is the key port's (`keyboard`)."""

    keys_echoed = False  # vkeyboard's lines go to /data/log/keyboard.log

    def __init__(self, build_dir, script=None, timeout=300.0, **kw):
        kw.setdefault("memory", 256)
        super().__init__(build_dir, script, timeout=timeout, arch=ARCH, layout=DeviceLayout(),
                         key_port=True, **kw)

    def type_line(self, line):
        """One vkeyboard line ("press 108 50", "down 1", ...) to the guest's keyboard."""
        self.keyboard.line(line)

    def type_keys(self, words, gap=0.1):
        for line in keyboard_lines(words):  # bad words fail here, before any key goes out
            if isinstance(line, tuple):
                time.sleep(line[1])
            else:
                self.type_line(line)
                time.sleep(gap)


def public_keys_path():
    """Where `./dev device --keys` finds the running device."""
    path = os.path.join(PROJECT, ".cache", "device", "keys.sock")
    if len(path) < 100:
        return path
    # A unix socket's path has room for about 100 bytes.
    tag = hashlib.sha256(PROJECT.encode()).hexdigest()[:12]
    return os.path.join(tempfile.gettempdir(), "device-%d-%s" % (os.getuid(), tag), "keys.sock")
