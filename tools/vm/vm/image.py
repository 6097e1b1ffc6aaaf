"""The guest's initramfs: busybox, /init, the modules, the build folder's files and
their libraries; and the small archive that carries each run's command."""
import glob
import gzip
import hashlib
import io
import os
import re
import shlex
import shutil
import stat
import subprocess

from .common import (ARCHES, VMError, VMSkip, default_arch, default_cache, guest_lib_path, is_elf, locked,
                     log)
from .kernel import fetch_busybox, fetch_extra_modules, fetch_kernel

# The shell helpers of every guest script (". /vm/helpers.sh"), in every image.
HELPERS_FILE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "guest",
                            "helpers.sh")
HELPERS_PATH = "/vm/helpers.sh"


def read_helpers():
    with open(HELPERS_FILE, "rb") as f:
        return f.read()

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


def add_libraries(files, elves, arch, libdirs=(), guest_path=None):
    """Adds to `files` the shared libraries of the ELF files `elves`: by ldd for the host's
    arch, by NEEDED entries through `libdirs` and the arch's folders for a foreign one.
    `guest_path` maps a library's host path to its place in the guest."""
    machine = ARCHES[arch]
    guest_path = guest_path or guest_lib_path
    for p in elves:
        libs = _needed(p, list(libdirs) + machine["libdirs"]) if "libdirs" in machine else _ldd(p)
        for lib in libs:
            files.setdefault(guest_path(lib), os.path.realpath(lib))


def image_inputs(build_dir, arch, kernel, busybox):
    """Map of guest path -> host path of everything in the image."""
    build_dir = os.path.abspath(build_dir)
    files = {"/bin/busybox": busybox}
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
                    if is_elf(p):
                        elves.append(p)
    add_libraries(files, elves, arch)
    return files


class Layout:
    """What an image holds and how it starts. This one carries the build folder at its own
    paths and runs one command (INIT); vm/device.py lays out the device instead."""

    name = ""  # part of the image's cache key
    init = INIT

    def inputs(self, build_dir, arch, kernel, busybox, cache):
        """Map of guest path -> host path."""
        files = image_inputs(build_dir, arch, kernel, busybox)
        if "extra_modules" in ARCHES[arch]:
            # The key port's modules, for machines without a keyboard (VM(key_port=True)).
            for ko in sorted(glob.glob(os.path.join(fetch_extra_modules(arch, cache, kernel),
                                                    "modules", "*.ko"))):
                files["/vm/modules/" + os.path.basename(ko)] = ko
        return files

    def generated(self):
        """Map of guest path -> (bytes, mode) of files written for the image."""
        return {}

    def mode(self, guest, host):
        """The mode of a file in the image."""
        return 0o755 if os.access(host, os.X_OK) else 0o644


def _stamp(files, kernel, layout, helpers):
    h = hashlib.sha256(layout.init.encode())
    h.update(helpers)
    h.update(kernel.encode())
    for g, (data, mode) in sorted(layout.generated().items()):
        h.update(("%s\0%o\0" % (g, mode)).encode() + data)
    for g in sorted(files):
        st = os.stat(files[g])
        h.update(("%s\0%s\0%d\0%d\0%o\n" % (g, files[g], st.st_size, st.st_mtime_ns,
                                             layout.mode(g, files[g]))).encode())
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


def build_image(build_dir, arch=None, cache=None, layout=None):
    """Returns (vmlinuz, initrd) for the build folder, rebuilt only when an input changed."""
    layout = layout or Layout()
    arch = arch or default_arch()
    if arch not in ARCHES:
        raise VMError("architecture %s is not supported yet (have: %s)" % (arch, ", ".join(ARCHES)))
    cache = cache or default_cache()
    busybox = fetch_busybox(arch, cache)
    kernel = fetch_kernel(arch, cache)
    key = hashlib.sha256((os.path.abspath(build_dir) + layout.name).encode()).hexdigest()[:16]
    folder = os.path.join(cache, arch, "images", key)
    with locked(os.path.join(cache, arch, ".image-%s.lock" % key)):
        files = layout.inputs(build_dir, arch, kernel, busybox, cache)
        helpers = read_helpers()
        stamp = _stamp(files, kernel, layout, helpers)
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
            c.file("/init", layout.init.encode())
            c.file(HELPERS_PATH, helpers, 0o644)
            for g, (data, mode) in sorted(layout.generated().items()):
                c.file(g, data, mode)
            for g in sorted(files):
                h = files[g]
                data = _strip(h) if is_elf(h) and not h.endswith(".ko") and g != "/bin/busybox" \
                    else open(h, "rb").read()
                c.file(g, data, layout.mode(g, h))
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
        if script is not None:  # None: the image's own init decides (the device's console)
            c.file("/vm/cmd.sh", script.encode())
        lines = "".join("export %s=%s\n" % (k, shlex.quote(str(v))) for k, v in sorted(env.items()))
        c.file("/vm/env", lines.encode(), 0o644)
        c.close()
    return buf.getvalue()
