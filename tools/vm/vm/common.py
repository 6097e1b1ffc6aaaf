"""What the rest of the bench shares: its two ways to fail, the log, the cache
folder and the table of guest architectures."""
import os
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
        # The device's key channel is a virtio serial port (tools/vm/vm/device.py).
        "extra_modules": ["kernel/drivers/virtio/virtio_mmio.ko",
                          "kernel/drivers/char/virtio_console.ko"],
    },
}


class VMError(Exception):
    """The bench failed: boot, a time limit, a lost guest."""


class VMSkip(Exception):
    """The bench cannot run here (qemu or the kernel package missing)."""


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
