#!/usr/bin/env python3
"""Real-kernel bench: Debian's kernel under qemu with a busybox initramfs.

Library for the runner, the demo and the tests, and a small command line:
  vm.py image --build-dir DIR            build (or reuse) the image, print its paths
  vm.py run --build-dir DIR [-t SECS] -- COMMAND...
                                         boot, run COMMAND in the guest, exit with its status
  vm.py keys --qmp SOCKET KEY...         type keys into a running guest (see --help)
"""

import argparse
import contextlib
import ctypes
import fcntl
import glob
import gzip
import hashlib
import io
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tarfile
import tempfile
import threading
import time

SKIP = 77  # exit status of a run that cannot happen here (missing qemu or kernel)
BENCH_FAILURE = 125  # the bench itself failed (boot, time limit, no status line)

EXIT_LINE = re.compile(r"^vm: guest command exited with status (\d+)$")
READY_LINE = "vm: guest ready"

MODULES = [
    "kernel/drivers/input/evdev.ko",
    "kernel/drivers/input/misc/uinput.ko",
    "kernel/drivers/android/binder_linux.ko",
]

# What differs between architectures. The host's own arch uses the host's busybox
# and ldd; a foreign one fetches its busybox package and follows NEEDED entries
# through its library folders, as ldd cannot run a cross binary.
ARCHES = {
    "x86_64": {
        "kernel_meta": "linux-image-amd64",
        "qemu": "qemu-system-x86_64",
        "qemu_package": "qemu-system-x86",
        "machine": ["-machine", "pc"],
        "console": "ttyS0",
        "busybox": "/bin/busybox",
        "modules": MODULES,
    },
    "armhf": {
        "kernel_meta": "linux-image-armmp",
        "qemu": "qemu-system-arm",
        "qemu_package": "qemu-system-arm",
        "machine": ["-M", "virt", "-cpu", "cortex-a15"],
        "console": "ttyAMA0",
        "busybox_package": "busybox-static:armhf",
        "libdirs": ["/usr/lib/arm-linux-gnueabihf", "/usr/lib/arm-linux-gnueabihf/android",
                    "/opt/armhf-p7zip/usr/lib/p7zip"],
        "modules": MODULES,
    },
}

INIT = r"""#!/bin/busybox sh
/bin/busybox mkdir -p /proc /sys /dev /tmp /sbin /usr/bin /usr/sbin
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in /vm/modules/*.ko; do
    insmod "$m" || echo "vm: insmod $m failed"
done
# Host input on the serial line is for the command, not to be echoed back.
stty -echo < /dev/console 2>/dev/null
export PATH=/bin:/sbin:/usr/bin:/usr/sbin HOME=/tmp
[ -f /vm/env ] && . /vm/env
echo "vm: guest ready"
cd /tmp
/bin/sh /vm/cmd.sh
rc=$?
echo
echo "vm: guest command exited with status $rc"
poweroff -f
"""


class VMError(Exception):
    """The bench failed: boot, a time limit, a lost guest."""


class VMSkip(Exception):
    """The bench cannot run here (qemu or the kernel package missing)."""


def log(msg):
    print("vm: " + msg, file=sys.stderr, flush=True)


# The project's top folder: the cache stays inside it, wherever the build folder is.
PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def default_cache():
    env = os.environ.get("VM_CACHE")
    if env:
        return os.path.abspath(env)
    return os.path.join(PROJECT, ".cache", "vm")


@contextlib.contextmanager
def locked(path):
    # Tests run in parallel; one of them builds, the others wait and reuse.
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(f, fcntl.LOCK_UN)


# ---- kernel -----------------------------------------------------------------

def _apt_kernel_package(meta):
    """The versioned package that the meta package depends on, or None."""
    try:
        out = subprocess.run(["apt-cache", "show", "--no-all-versions", meta],
                             capture_output=True, text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    m = re.search(r"^Depends:\s*(linux-image-[^\s,(]+)(?:\s*\(=\s*([^)]+)\))?", out, re.M)
    return (m.group(1), m.group(2) or "") if m else None


def fetch_kernel(arch, cache):
    """Folder with vmlinuz and the modules of the current Debian kernel, cached."""
    machine = ARCHES[arch]
    base = os.path.join(cache, arch, "kernel")
    with locked(os.path.join(base, ".lock")):
        want = _apt_kernel_package(machine["kernel_meta"])
        if want:
            folder = os.path.join(base, "%s_%s" % want)
            if os.path.exists(os.path.join(folder, ".complete")):
                return folder
        else:
            # No package lists: any kernel fetched before still serves.
            have = sorted(glob.glob(os.path.join(base, "*", ".complete")))
            if have:
                return os.path.dirname(have[-1])
        try:
            folder = _download_kernel(machine, want, base)
        except VMSkip as e:
            # Offline with an older kernel at hand: better that than no run.
            have = sorted(glob.glob(os.path.join(base, "*", ".complete")))
            if not have:
                raise
            log("%s; using the cached %s" % (e, os.path.basename(os.path.dirname(have[-1]))))
            return os.path.dirname(have[-1])
        for old in glob.glob(os.path.join(base, "*", ".complete")):
            if os.path.dirname(old) != folder:
                shutil.rmtree(os.path.dirname(old), ignore_errors=True)
        return folder


def _download_kernel(machine, want, base):
    if not shutil.which("apt-get") or not shutil.which("dpkg-deb"):
        raise VMSkip("apt-get/dpkg-deb missing: cannot fetch the kernel package")
    with tempfile.TemporaryDirectory(prefix="vm-kernel-") as tmp:
        os.chmod(tmp, 0o755)  # apt's sandbox user may then write here
        if want is None:
            _apt_download(machine["kernel_meta"], tmp)
            deb = glob.glob(os.path.join(tmp, "*.deb"))[0]
            dep = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True,
                                 text=True).stdout
            m = re.match(r"\s*(linux-image-[^\s,(]+)(?:\s*\(=\s*([^)]+)\))?", dep)
            if not m:
                raise VMSkip("cannot tell the kernel package from %s" % machine["kernel_meta"])
            want = (m.group(1), m.group(2) or "")
            os.unlink(deb)
        folder = os.path.join(base, "%s_%s" % want)
        log("downloading %s" % want[0])
        _apt_download(want[0], tmp)
        debs = glob.glob(os.path.join(tmp, want[0] + "_*.deb"))
        if not debs:
            raise VMSkip("apt-get download %s gave no package" % want[0])
        _extract_kernel(debs[0], machine["modules"], folder)
        return folder


def _apt_download(pkg, where):
    try:
        r = subprocess.run(["apt-get", "download", pkg], cwd=where, capture_output=True,
                           text=True, timeout=600)
    except subprocess.TimeoutExpired:
        raise VMError("apt-get download %s took over 600 s" % pkg)
    if r.returncode != 0:
        last = (r.stderr.strip().splitlines() or ["no reason given"])[-1]
        raise VMSkip("apt-get download %s failed: %s" % (pkg, last))


def _extract_kernel(deb, modules, folder):
    # Only the kernel and three modules: the whole package is ~400 MB unpacked.
    tmp = folder + ".part"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(os.path.join(tmp, "modules"))
    fs = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
    found = set()
    with tarfile.open(fileobj=fs.stdout, mode="r|") as tar:
        for member in tar:
            name = member.name.lstrip("./")
            if not member.isfile():
                continue
            if re.fullmatch(r"boot/vmlinuz-.*", name):
                dest = os.path.join(tmp, "vmlinuz")
            elif any(name.endswith("/" + m) and name.startswith("lib/modules/") for m in modules):
                dest = os.path.join(tmp, "modules", os.path.basename(name))
            else:
                continue
            with tar.extractfile(member) as src, open(dest, "wb") as out:
                shutil.copyfileobj(src, out)
            found.add(os.path.basename(dest))
    fs.wait()
    missing = {"vmlinuz"} | {os.path.basename(m) for m in modules}
    missing -= found
    if missing:
        shutil.rmtree(tmp, ignore_errors=True)
        raise VMSkip("kernel package lacks %s" % ", ".join(sorted(missing)))
    open(os.path.join(tmp, ".complete"), "w").close()
    shutil.rmtree(folder, ignore_errors=True)
    os.rename(tmp, folder)


def fetch_busybox(arch, cache):
    """Path of a static busybox for the guest's arch: the host's, or one unpacked
    from the arch's package into the cache."""
    machine = ARCHES[arch]
    if "busybox" in machine:
        if not os.path.exists(machine["busybox"]):
            raise VMSkip("%s missing (package busybox-static)" % machine["busybox"])
        return machine["busybox"]
    pkg = machine["busybox_package"]
    base = os.path.join(cache, arch, "busybox")
    path = os.path.join(base, "bin", "busybox")
    with locked(os.path.join(cache, arch, ".busybox.lock")):
        if os.path.exists(path):
            return path
        if not shutil.which("apt-get") or not shutil.which("dpkg-deb"):
            raise VMSkip("apt-get/dpkg-deb missing: cannot fetch %s" % pkg)
        with tempfile.TemporaryDirectory(prefix="vm-busybox-") as tmp:
            os.chmod(tmp, 0o755)
            log("downloading %s" % pkg)
            _apt_download(pkg, tmp)
            debs = glob.glob(os.path.join(tmp, "*.deb"))
            if not debs:
                raise VMSkip("apt-get download %s gave no package" % pkg)
            unpacked = os.path.join(tmp, "x")
            r = subprocess.run(["dpkg-deb", "-x", debs[0], unpacked], capture_output=True, text=True)
            if r.returncode != 0:
                raise VMError("dpkg-deb -x %s: %s" % (os.path.basename(debs[0]), r.stderr.strip()))
            src = os.path.join(unpacked, "bin", "busybox")
            if not os.path.isfile(src):
                raise VMSkip("%s has no bin/busybox" % pkg)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.copy2(src, path + ".part")
            os.replace(path + ".part", path)
        return path


# ---- initramfs --------------------------------------------------------------

class Cpio:
    """Writer of the kernel's initramfs format (cpio "newc")."""

    def __init__(self, out):
        self.out = out
        self.ino = 1
        self.dirs = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name_b = name.encode() + b"\0"
        hdr = "070701" + "".join("%08X" % v for v in (
            self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name_b), 0))
        self.ino += 1
        blob = hdr.encode() + name_b
        blob += b"\0" * (-len(blob) % 4)
        self.out.write(blob)
        self.out.write(data)
        self.out.write(b"\0" * (-len(data) % 4))

    def mkdirs(self, path):
        parts = path.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d and d not in self.dirs:
                self.dirs.add(d)
                self._entry(d, stat.S_IFDIR | 0o755)

    def file(self, path, data, mode=0o755):
        self.mkdirs(os.path.dirname(path))
        self._entry(path.strip("/"), stat.S_IFREG | mode, data)

    def symlink(self, path, target):
        self.mkdirs(os.path.dirname(path))
        self._entry(path.strip("/"), stat.S_IFLNK | 0o777, target.encode())

    def chardev(self, path, major, minor):
        self.mkdirs(os.path.dirname(path))
        self._entry(path.strip("/"), stat.S_IFCHR | 0o600, rdev=(major, minor))

    def close(self):
        self._entry("TRAILER!!!", 0)


def _is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def _ldd(path):
    """Shared libraries of an ELF file, as the host's loader resolves them."""
    r = subprocess.run(["ldd", path], capture_output=True, text=True)
    libs = []
    for line in r.stdout.splitlines():
        m = re.match(r"\s*(\S+) => (/\S+)", line) or re.match(r"\s*(/\S+) \(0x", line)
        if m:
            libs.append(m.group(m.lastindex))
        elif "not found" in line:
            log("%s: %s" % (path, line.strip()))
    return libs


def _readelf(args, path):
    tool = shutil.which("readelf") or shutil.which("arm-linux-gnueabihf-readelf")
    if not tool:
        raise VMSkip("readelf missing (package binutils)")
    return subprocess.run([tool, "-W"] + args + [path], capture_output=True, text=True).stdout


def _elf_kind(path):
    """(class, machine) of an ELF file, None for anything else."""
    try:
        with open(path, "rb") as f:
            hdr = f.read(20)
    except OSError:
        return None
    if len(hdr) < 20 or hdr[:4] != b"\x7fELF":
        return None
    return hdr[4], int.from_bytes(hdr[18:20], "little" if hdr[5] == 1 else "big")


def _needed(path, libdirs):
    """Shared libraries of a foreign ELF file and theirs, by its NEEDED entries,
    RUNPATH and the program interpreter, searched like the loader would."""
    seen = {}
    todo = [path]
    # A RUNPATH may name a host folder (the host's library of that name is the
    # wrong architecture); the loader skips those, and so does this.
    kind = _elf_kind(path)
    while todo:
        p = todo.pop()
        dyn = _readelf(["-d", "-l"], p)
        m = re.search(r"Requesting program interpreter: (\S+)\]", dyn)
        if m and os.path.exists(m.group(1)) and m.group(1) not in seen:
            seen[m.group(1)] = True
        here = os.path.dirname(os.path.realpath(p))
        rpath = []
        for r in re.findall(r"\((?:RUNPATH|RPATH)\)\s+Library (?:runpath|rpath): \[([^\]]*)\]", dyn):
            rpath += [d.replace("$ORIGIN", here).replace("${ORIGIN}", here) for d in r.split(":") if d]
        for name in re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dyn):
            for d in rpath + libdirs:
                cand = os.path.join(d, name)
                if os.path.exists(cand) and _elf_kind(cand) == kind:
                    if cand not in seen:
                        seen[cand] = True
                        todo.append(cand)
                    break
            else:
                log("%s: %s not found" % (p, name))
    return list(seen)


def _guest_lib_path(path):
    # Merged /usr: keep the name the loader asked for, in the real folder;
    # the image links /lib and /lib64 to usr/.
    real_dir = os.path.realpath(os.path.dirname(path))
    return os.path.join(real_dir, os.path.basename(path))


def image_inputs(build_dir, arch, kernel, busybox):
    """Map of guest path -> host path of everything in the image."""
    machine = ARCHES[arch]
    build_dir = os.path.abspath(build_dir)
    files = {"/bin/busybox": busybox, "/boot/vmlinuz": None}
    for ko in sorted(glob.glob(os.path.join(kernel, "modules", "*.ko"))):
        files["/vm/modules/" + os.path.basename(ko)] = ko
    elves = []
    for sub in ("bin", "lib"):
        top = os.path.join(build_dir, sub)
        for root, _, names in os.walk(top):
            for n in sorted(names):
                p = os.path.join(root, n)
                if os.path.isfile(p) and not os.path.islink(p):
                    files[p] = p  # the same path: rpaths and ../lib lookups hold
                    if _is_elf(p):
                        elves.append(p)
    for p in elves:
        libs = _needed(p, machine["libdirs"]) if "libdirs" in machine else _ldd(p)
        for lib in libs:
            files.setdefault(_guest_lib_path(lib), os.path.realpath(lib))
    del files["/boot/vmlinuz"]
    return files


def _stamp(files, kernel):
    h = hashlib.sha256(INIT.encode())
    h.update(kernel.encode())
    for g in sorted(files):
        st = os.stat(files[g])
        h.update(("%s\0%s\0%d\0%d\n" % (g, files[g], st.st_size, st.st_mtime_ns)).encode())
    return h.hexdigest()


def _strip(path):
    # Debug info makes up most of a RelWithDebInfo binary and the guest needs none.
    if shutil.which("objcopy"):
        r = subprocess.run(["objcopy", "--strip-debug", path, "/dev/stdout"],
                           capture_output=True)
        if r.returncode == 0 and r.stdout:
            return r.stdout
    with open(path, "rb") as f:
        return f.read()


def default_arch():
    # The build folder's tests say which guest they need; x86_64 otherwise.
    return os.environ.get("VM_ARCH") or "x86_64"


def build_image(build_dir, arch=None, cache=None):
    """Returns (vmlinuz, initrd) for the build folder, rebuilt only when an input changed."""
    arch = arch or default_arch()
    if arch not in ARCHES:
        raise VMError("architecture %s is not supported yet (have: %s)" % (arch, ", ".join(ARCHES)))
    cache = cache or default_cache()
    busybox = fetch_busybox(arch, cache)
    kernel = fetch_kernel(arch, cache)
    key = hashlib.sha256(os.path.abspath(build_dir).encode()).hexdigest()[:16]
    folder = os.path.join(cache, arch, "images", key)
    with locked(os.path.join(cache, arch, ".image-%s.lock" % key)):
        files = image_inputs(build_dir, arch, kernel, busybox)
        stamp = _stamp(files, kernel)
        initrd = os.path.join(folder, "initrd.gz")
        stamp_file = os.path.join(folder, "stamp")
        if os.path.exists(initrd) and os.path.exists(stamp_file):
            with open(stamp_file) as f:
                if f.read() == stamp:
                    return os.path.join(kernel, "vmlinuz"), initrd
        os.makedirs(folder, exist_ok=True)
        tmp = initrd + ".part"
        with open(tmp, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=1,
                                                   mtime=0) as gz:
            c = Cpio(gz)
            for d in ("usr/lib", "usr/lib64", "usr/bin", "usr/sbin"):
                c.mkdirs(d)
            c.symlink("/lib", "usr/lib")
            c.symlink("/lib64", "usr/lib64")
            c.chardev("/dev/console", 5, 1)
            c.file("/init", INIT.encode())
            for g in sorted(files):
                h = files[g]
                data = _strip(h) if _is_elf(h) and not h.endswith(".ko") and g != "/bin/busybox" \
                    else open(h, "rb").read()
                c.file(g, data, 0o755 if os.access(h, os.X_OK) else 0o644)
            c.close()
        os.replace(tmp, initrd)
        with open(stamp_file, "w") as f:
            f.write(stamp)
        log("image %s (%d files, %.1f MB)" % (initrd, len(files), os.path.getsize(initrd) / 1e6))
        return os.path.join(kernel, "vmlinuz"), initrd


def command_archive(script, env):
    """A second, small archive with the guest command; the kernel unpacks it over the image."""
    buf = io.BytesIO()
    with gzip.GzipFile(fileobj=buf, mode="wb", mtime=0) as gz:
        c = Cpio(gz)
        c.file("/vm/cmd.sh", script.encode())
        lines = "".join("export %s=%s\n" % (k, shlex_quote(v)) for k, v in sorted(env.items()))
        c.file("/vm/env", lines.encode(), 0o644)
        c.close()
    return buf.getvalue()


def shlex_quote(s):
    return "'" + str(s).replace("'", "'\"'\"'") + "'"


# ---- QMP ---------------------------------------------------------------------

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


# ---- runner ------------------------------------------------------------------

def _die_with_parent():
    # Should the test itself be killed, qemu goes with it.
    with contextlib.suppress(Exception):
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class VM:
    """One guest running one shell command. Use as a context manager:

        with VM(build_dir, "sensormon -n 1", timeout=60) as vm:
            vm.expect(r"^activated 0$", 20)
            vm.qmp.press("down")
            vm.expect(r"^report rotation=180 ", 10)
            status = vm.wait(20)
    """

    def __init__(self, build_dir, script, timeout=120.0, arch=None, env=None,
                 echo=None, prefix="guest| ", cache=None, memory=512, qemu_args=()):
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
        self.vmlinuz, initrd = build_image(self.build_dir, arch, cache)
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
        # KVM here is nested and stalls the guest; TCG boots in seconds.
        accel = ["-accel", os.environ.get("VM_ACCEL", "tcg")]
        self.argv = [qemu] + self.machine["machine"] + accel + [
            "-m", str(memory), "-smp", "1", "-nodefaults", "-no-reboot",
            "-display", "none", "-serial", "stdio", "-monitor", "none",
            "-qmp", "unix:%s,server=on,wait=off" % self.qmp_path,
            "-kernel", self.vmlinuz, "-initrd", run_img,
            "-append", "console=%s quiet loglevel=3 panic=-1" % self.machine["console"]] + list(qemu_args)
        self.started = time.monotonic()
        self.deadline = self.started + timeout
        self.proc = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self._watchdog = threading.Timer(timeout, self._expire)
        self._watchdog.daemon = True
        self._watchdog.start()
        try:
            self.qmp = QMP(self.qmp_path, timeout=min(timeout, 15))
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
            log("time limit reached, killing qemu (pid %d)" % self.proc.pid)
            self.kill()

    def mark(self):
        """Position in the output; expect and lines can start there."""
        with self._cond:
            return len(self.lines)

    def expect(self, pattern, timeout, since=None):
        """Waits for the first line from `since` on (default: after the last match) that
        matches; returns the match. Raises VMError with the recent output otherwise."""
        rx = re.compile(pattern)
        pos = self._cursor if since is None else since
        end = time.monotonic() + timeout
        with self._cond:
            while True:
                while pos < len(self.lines):
                    m = rx.search(self.lines[pos])
                    pos += 1
                    if m:
                        self._cursor = pos
                        return m
                left = end - time.monotonic()
                if left <= 0 or self._eof:
                    tail = "\n".join(self.lines[-15:])
                    why = "guest gone" if self._eof else "%.0f s passed" % timeout
                    raise VMError("no line matching %r (%s); last lines:\n%s" % (pattern, why, tail))
                self._cond.wait(min(left, 0.5))

    _cursor = 0

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
        self.expect(EXIT_LINE.pattern, timeout, since=0)
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
        self.kill()
        self._reader.join(timeout=5)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def elapsed(self):
        return time.monotonic() - self.started


# ---- command line ----------------------------------------------------------------

def _check_build_dir(args):
    """A missing build folder would boot a guest without the project's programs."""
    if not os.path.isdir(os.path.join(args.build_dir, "bin")):
        log("%s: no build folder with bin/ at %s (build first: ./dev build)" % (args.cmd, args.build_dir))
        return False
    return True


def _main_image(args):
    if not _check_build_dir(args):
        return 2
    vmlinuz, initrd = build_image(args.build_dir, args.arch, args.cache)
    print("kernel %s" % vmlinuz)
    print("initrd %s" % initrd)
    return 0


def _main_run(args):
    cmd = args.command
    if cmd and cmd[0] == "--":
        cmd = cmd[1:]
    if not cmd:
        log("run: no guest command given")
        return 2
    if not _check_build_dir(args):
        return 2
    script = " ".join(shlex_quote(c) for c in cmd) if len(cmd) > 1 else cmd[0]
    with VM(args.build_dir, script, timeout=args.timeout, arch=args.arch, cache=args.cache,
            prefix="") as vm:
        if args.qmp_link:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(args.qmp_link)
            vm.qmp.close()  # the socket takes one client at a time
            vm.qmp = None
            os.symlink(vm.qmp_path, args.qmp_link)
        try:
            status = vm.wait(max(1.0, vm.deadline - time.monotonic()))
        finally:
            if args.qmp_link:
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(args.qmp_link)
        log("guest status %d after %.1f s (ready after %.1f s)" % (status, vm.elapsed(), vm.ready_after or -1))
        return status


def parse_keys(words):
    """KEY or KEY:HOLD (press, hold HOLD s, release), +KEY (down only), -KEY (up only),
    sleep:SECS."""
    steps = []
    for w in words:
        if w.startswith("sleep:"):
            steps.append(("sleep", float(w[6:])))
        elif w.startswith("+"):
            steps.append(("down", w[1:]))
        elif w.startswith("-"):
            steps.append(("up", w[1:]))
        else:
            name, _, hold = w.partition(":")
            steps.append(("press", name, float(hold) if hold else 0.05))
    return steps


def _main_keys(args):
    q = QMP(args.qmp)
    try:
        for step in parse_keys(args.keys):
            if step[0] == "sleep":
                time.sleep(step[1])
            elif step[0] == "press":
                q.press(step[1], step[2])
            else:
                q.key(step[1], step[0] == "down")
            time.sleep(args.gap)
    finally:
        q.close()
    return 0


def main(argv=None):
    p = argparse.ArgumentParser(prog="vm.py", description="Debian's kernel under qemu: "
                                "build the image, run one guest command, type keys.")
    sub = p.add_subparsers(dest="cmd", required=True)
    for name in ("image", "run"):
        s = sub.add_parser(name, help={"image": "build or reuse the image of a build folder",
                                       "run": "boot, run COMMAND in the guest, exit with its status"}[name])
        s.add_argument("--build-dir", "-b", required=True, help="the project's build folder")
        s.add_argument("--arch", default=default_arch(), choices=sorted(ARCHES),
                       help="guest architecture (default: VM_ARCH or x86_64)")
        s.add_argument("--cache", help="cache folder (default: VM_CACHE or the project's .cache/vm)")
        if name == "run":
            s.add_argument("--timeout", "-t", type=float, default=120.0, help="hard limit in seconds")
            s.add_argument("--qmp-link", help="make the QMP socket reachable at this path while the guest runs")
            s.add_argument("command", nargs=argparse.REMAINDER, help="guest shell command")
    k = sub.add_parser("keys", help="type keys into a running guest through its QMP socket")
    k.add_argument("--qmp", required=True, help="the QMP socket (see run --qmp-link)")
    k.add_argument("--gap", type=float, default=0.1, help="seconds between steps")
    k.add_argument("keys", nargs="+", help="qcode names: KEY, KEY:HOLD, +KEY (down), -KEY (up), sleep:SECS")
    args = p.parse_args(argv)
    try:
        return {"image": _main_image, "run": _main_run, "keys": _main_keys}[args.cmd](args)
    except VMSkip as e:
        log("cannot run: %s" % e)
        return SKIP
    except VMError as e:
        log(str(e))
        return BENCH_FAILURE


if __name__ == "__main__":
    sys.exit(main())
