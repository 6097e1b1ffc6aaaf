"""What the rest of the bench shares: its two ways to fail, the log, the cache
folder, the table of guest architectures, the cache's lock, apt downloads and
the ELF helpers that the image and the device both use."""
import contextlib
import fcntl
import os
import shlex
import subprocess
import sys

SKIP = 77  # exit status of a run that cannot happen here (missing qemu or kernel)
BENCH_FAILURE = 125  # the bench itself failed (boot, time limit, no status line)

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
        # Without KVM a loaded host can stall the guest through the kernel's check of the
        # IO-APIC timer, which then panics ("IO-APIC + timer doesn't work!").
        "kernel_args": "no_timer_check",
        # Debian 12's package installs /bin/busybox, Debian 13's /usr/bin/busybox.
        "busybox": ["/bin/busybox", "/usr/bin/busybox"],
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
        # The device's key channel is a virtio serial port (tools/vm/vm/device.py).
        "extra_modules": ["kernel/drivers/virtio/virtio_mmio.ko",
                          "kernel/drivers/char/virtio_console.ko"],
    },
}


class VMError(Exception):
    """The bench failed: boot, a time limit, a lost guest."""


class VMSkip(Exception):
    """The bench cannot run here (qemu or the kernel package missing). Its text is the one
    line that a skipped test prints as its reason, so it is kept to one line."""

    def __str__(self):
        return " ".join(super().__str__().split()) or "no reason given"


def log(msg):
    print("vm: " + msg, file=sys.stderr, flush=True)


# The project's top folder: the cache stays inside it, wherever the build folder is.
PROJECT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))


def default_cache():
    env = os.environ.get("VM_CACHE")
    if env:
        return os.path.abspath(env)
    return os.path.join(PROJECT, ".cache", "vm")


def default_arch():
    # The build folder's tests say which guest they need; x86_64 otherwise.
    return os.environ.get("VM_ARCH") or "x86_64"


def build_arch(build_dir):
    """The guest architecture that a build folder's CMake cache records, or None."""
    try:
        with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("VM_ARCH:"):
                    return line.split("=", 1)[1].strip() or None
    except OSError:
        pass
    return None


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


def apt_download(pkg, where):
    """`apt-get download pkg` into the folder `where`; VMSkip when it fails."""
    try:
        r = subprocess.run(["apt-get", "download", pkg], cwd=where, capture_output=True,
                           text=True, timeout=600)
    except subprocess.TimeoutExpired:
        raise VMError("apt-get download %s took over 600 s" % pkg)
    if r.returncode != 0:
        last = (r.stderr.strip().splitlines() or ["no reason given"])[-1]
        raise VMSkip("apt-get download %s failed: %s" % (pkg, last))


def release_name():
    """The code name of the Debian release that runs this (bookworm, trixie), or ""."""
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("VERSION_CODENAME="):
                    return line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return ""


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def guest_lib_path(path):
    # Merged /usr: keep the name the loader asked for, in the real folder;
    # the image links /lib and /lib64 to usr/.
    real_dir = os.path.realpath(os.path.dirname(path))
    return os.path.join(real_dir, os.path.basename(path))


def command_script(words):
    """A guest shell script from command-line words: one word is a whole script; several are
    quoted one by one, each of them, so that a first word such as A=1 or `if` stays a command's
    name as given."""
    if len(words) == 1:
        return words[0]
    return " ".join(shlex.quote(w) if shlex.quote(w) != w else "'%s'" % w for w in words)
