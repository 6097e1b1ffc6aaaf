#!/usr/bin/env python3
"""The kernel package unpacked as each Debian release lays it out, without a download: Debian 12's
plain modules under lib/modules, Debian 13's xz-compressed ones under usr/lib/modules, a driver
that modules.builtin lists (no file needed), and one that is neither there nor built in."""
import lzma
import os
import subprocess
import sys
import tempfile

from vmtest import check, run

from vm.common import MODULES, VMSkip
from vm.kernel import _extract_kernel

EXTRA = ["kernel/drivers/virtio/virtio_mmio.ko", "kernel/drivers/char/virtio_console.ko"]

# (case, module folder, compressed, extra modules shipped as files, extra modules built in)
CASES = [
    ("Debian 12", "lib/modules/6.1.0-1-armmp", False, EXTRA, []),
    ("Debian 13", "usr/lib/modules/6.12.0-1-armmp", True, EXTRA[:1], EXTRA[1:]),
    ("driver missing", "usr/lib/modules/6.12.0-1-armmp", True, EXTRA[:1], []),
]


def package(tmp, name, moddir, xz, files, builtin):
    root = os.path.join(tmp, name.replace(" ", "_"))
    os.makedirs(os.path.join(root, "DEBIAN"))
    with open(os.path.join(root, "DEBIAN", "control"), "w") as f:
        f.write("Package: linux-image-test\nVersion: 1\nArchitecture: all\nMaintainer: t <t@t>\n"
                "Description: test\n")
    os.makedirs(os.path.join(root, "boot"))
    with open(os.path.join(root, "boot", "vmlinuz-test"), "wb") as f:
        f.write(b"kernel")
    for m in MODULES + files:
        path = os.path.join(root, moddir, m) + (".xz" if xz else "")
        os.makedirs(os.path.dirname(path), exist_ok=True)
        data = ("module %s" % os.path.basename(m)).encode()
        with open(path, "wb") as f:
            f.write(lzma.compress(data) if xz else data)
    with open(os.path.join(root, moddir, "modules.builtin"), "w") as f:
        f.write("".join(m + "\n" for m in ["kernel/drivers/tty/serial.ko"] + builtin))
    deb = root + ".deb"
    subprocess.run(["dpkg-deb", "--root-owner-group", "-Znone", "-b", root, deb], check=True,
                   capture_output=True)
    return deb


def body(_build_dir):
    with tempfile.TemporaryDirectory(prefix="vm-kernel-test-") as tmp:
        for name, moddir, xz, files, builtin in CASES:
            deb = package(tmp, name, moddir, xz, files, builtin)
            folder = os.path.join(tmp, "out", name)
            try:
                _extract_kernel(deb, MODULES, folder, extra=EXTRA)
            except VMSkip as e:  # here a fault, not a machine that lacks something
                check(False, "%s: %s" % (name, e))
            check(os.path.exists(os.path.join(folder, "vmlinuz")), "%s: no vmlinuz" % name)
            for m in MODULES + files:
                with open(os.path.join(folder, "extra" if m in EXTRA else "", "modules",
                                       os.path.basename(m)), "rb") as f:
                    got = f.read()
                check(got == ("module %s" % os.path.basename(m)).encode(),
                      "%s: %s unpacked as %r" % (name, m, got[:20]))
            complete = os.path.exists(os.path.join(folder, "extra", ".complete"))
            check(complete == (name != "driver missing"), "%s: extra modules complete: %s" % (name, complete))
            # The device's own fetch of them (fetch_extra_modules) then skips, naming the driver.
            try:
                _extract_kernel(deb, EXTRA, os.path.join(tmp, "extra", name), with_kernel=False)
                check(name != "driver missing", "%s: a driver neither shipped nor built in passed" % name)
            except VMSkip as e:
                check(name == "driver missing" and "virtio_console.ko" in str(e), "%s: %s" % (name, e))


if __name__ == "__main__":
    run(body)
    sys.exit(0)
