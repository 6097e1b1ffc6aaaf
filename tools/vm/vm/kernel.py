"""Debian's kernel and a static busybox for the guest, fetched with apt-get into the cache."""
import glob
import lzma
import os
import re
import shutil
import subprocess
import tarfile
import tempfile

from .common import ARCHES, VMError, VMSkip, apt_download, locked, log, release_name


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
        # Older kernels of this release go; another release's stay, as a clone may be
        # tested on both (./dev test --release), each with its own release's kernel.
        release = release_name()
        with open(os.path.join(folder, ".release"), "w") as f:
            f.write(release)
        for old in glob.glob(os.path.join(base, "*", ".complete")):
            old = os.path.dirname(old)
            if old != folder and _release_of(old) in (release, ""):
                shutil.rmtree(old, ignore_errors=True)
        return folder


def _release_of(folder):
    """The release whose apt fetched the kernel in `folder`; "" if not recorded."""
    try:
        with open(os.path.join(folder, ".release")) as f:
            return f.read().strip()
    except OSError:
        return ""


def _download_kernel(machine, want, base):
    if not shutil.which("apt-get") or not shutil.which("dpkg-deb"):
        raise VMSkip("apt-get/dpkg-deb missing: cannot fetch the kernel package")
    with tempfile.TemporaryDirectory(prefix="vm-kernel-") as tmp:
        os.chmod(tmp, 0o755)  # apt's sandbox user may then write here
        if want is None:
            apt_download(machine["kernel_meta"], tmp)
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
        apt_download(want[0], tmp)
        debs = glob.glob(os.path.join(tmp, want[0] + "_*.deb"))
        if not debs:
            raise VMSkip("apt-get download %s gave no package" % want[0])
        _extract_kernel(debs[0], machine["modules"], folder, extra=machine.get("extra_modules", ()))
        return folder


# Where the packages put the modules: Debian 12 under lib/modules, Debian 13 under
# usr/lib/modules and xz-compressed (busybox's insmod takes only plain .ko files).
_MODULE_DIR = re.compile(r"(?:usr/)?lib/modules/[^/]+/")


def _module_name(name, wanted):
    """The wanted module (a path such as kernel/drivers/input/evdev.ko) that the package's
    file `name` holds, or None."""
    m = _MODULE_DIR.match(name)
    if not m:
        return None
    rel = name[m.end():]
    for w in wanted:
        if rel == w or rel == w + ".xz":
            return w
    return None


def _builtin(tar, member):
    """The module paths that a modules.builtin lists: drivers built into the kernel."""
    with tar.extractfile(member) as f:
        return {line.strip() for line in f.read().decode("utf-8", "replace").splitlines()}


def _extract_kernel(deb, modules, folder, with_kernel=True, extra=()):
    # Only the kernel and three modules: the whole package is ~400 MB unpacked. The
    # `extra` modules (the device's) land in extra/, saving a second download later.
    # A module that the kernel has built in (modules.builtin) needs no file.
    tmp = folder + ".part"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(os.path.join(tmp, "modules"))
    os.makedirs(os.path.join(tmp, "extra", "modules"))
    fs = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE)
    found, builtin = set(), set()
    with tarfile.open(fileobj=fs.stdout, mode="r|") as tar:
        for member in tar:
            name = member.name.lstrip("./")
            if not member.isfile():
                continue
            if _MODULE_DIR.match(name) and name.endswith("/modules.builtin"):
                builtin |= _builtin(tar, member)
                continue
            if with_kernel and re.fullmatch(r"boot/vmlinuz-.*", name):
                dest = os.path.join(tmp, "vmlinuz")
            elif _module_name(name, modules):
                dest = os.path.join(tmp, "modules", os.path.basename(_module_name(name, modules)))
            elif _module_name(name, extra):
                dest = os.path.join(tmp, "extra", "modules", os.path.basename(_module_name(name, extra)))
            else:
                continue
            with tar.extractfile(member) as src, open(dest, "wb") as out:
                shutil.copyfileobj(lzma.open(src) if name.endswith(".xz") else src, out)
            found.add(os.path.basename(dest))
    if fs.wait() != 0:
        shutil.rmtree(tmp, ignore_errors=True)
        raise VMError("dpkg-deb --fsys-tarfile %s failed" % os.path.basename(deb))

    def absent(wanted):
        return {os.path.basename(m) for m in wanted if m not in builtin} - found

    missing = ({"vmlinuz"} if with_kernel else set()) - found | absent(modules)
    if missing:
        shutil.rmtree(tmp, ignore_errors=True)
        raise VMSkip("kernel package %s lacks %s (neither a module file nor built in)"
                     % (os.path.basename(deb), ", ".join(sorted(missing))))
    if extra and not absent(extra):
        open(os.path.join(tmp, "extra", ".complete"), "w").close()
    open(os.path.join(tmp, ".complete"), "w").close()
    shutil.rmtree(folder, ignore_errors=True)
    os.rename(tmp, folder)


def fetch_extra_modules(arch, cache, kernel):
    """Folder with the arch's extra_modules of the kernel in folder `kernel`, fetched beside
    it on first use: the kernel's own folder stays as the other runs found it."""
    machine = ARCHES[arch]
    folder = os.path.join(kernel, "extra")
    with locked(os.path.join(os.path.dirname(kernel), ".extra.lock")):
        if os.path.exists(os.path.join(folder, ".complete")):
            return folder
        if not shutil.which("apt-get") or not shutil.which("dpkg-deb"):
            raise VMSkip("apt-get/dpkg-deb missing: cannot fetch the kernel package")
        pkg, version = os.path.basename(kernel).split("_", 1)
        with tempfile.TemporaryDirectory(prefix="vm-kernel-") as tmp:
            os.chmod(tmp, 0o755)
            log("downloading %s for %s" % (pkg, ", ".join(
                os.path.basename(m) for m in machine["extra_modules"])))
            apt_download("%s=%s" % (pkg, version) if version else pkg, tmp)
            debs = glob.glob(os.path.join(tmp, pkg + "_*.deb"))
            if not debs:
                raise VMSkip("apt-get download %s gave no package" % pkg)
            _extract_kernel(debs[0], machine["extra_modules"], folder, with_kernel=False)
        return folder


def fetch_busybox(arch, cache):
    """Path of a static busybox for the guest's arch: the host's, or one unpacked
    from the arch's package into the cache."""
    machine = ARCHES[arch]
    if "busybox" in machine:
        for path in machine["busybox"]:
            if os.path.exists(path):
                return path
        raise VMSkip("%s missing (package busybox-static)" % " and ".join(machine["busybox"]))
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
            apt_download(pkg, tmp)
            debs = glob.glob(os.path.join(tmp, "*.deb"))
            if not debs:
                raise VMSkip("apt-get download %s gave no package" % pkg)
            unpacked = os.path.join(tmp, "x")
            r = subprocess.run(["dpkg-deb", "-x", debs[0], unpacked], capture_output=True, text=True)
            if r.returncode != 0:
                raise VMError("dpkg-deb -x %s: %s" % (os.path.basename(debs[0]), r.stderr.strip()))
            # Debian 12's package has it in bin/, Debian 13's in usr/bin/.
            found = [p for p in (os.path.join(unpacked, d, "busybox") for d in ("bin", "usr/bin"))
                     if os.path.isfile(p)]
            if not found:
                raise VMSkip("%s has no bin/busybox or usr/bin/busybox" % pkg)
            src = found[0]
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.copy2(src, path + ".part")
            os.replace(path + ".part", path)
        return path
