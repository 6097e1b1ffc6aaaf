#!/usr/bin/env python3
"""The image without a boot: what it holds, and that it is rebuilt exactly when an input changed
(a stale image would test old binaries); the guest command and its environment quoted on the
way; `python3 -m vm run` refusing a build folder that does not exist and an --arch that the
build folder's cache contradicts, before any boot."""
import gzip
import os
import shutil
import subprocess
import sys
import tempfile

from vmtest import check, run, vm


def entries(path):
    """Names and modes of a gzip'd cpio "newc" archive."""
    with gzip.open(path, "rb") as f:
        data = f.read()
    out, pos = {}, 0
    while True:
        hdr = data[pos:pos + 110]
        check(hdr[:6] == b"070701", "bad cpio header at %d" % pos)
        mode = int(hdr[14:22], 16)
        size = int(hdr[54:62], 16)
        namesize = int(hdr[94:102], 16)
        name = data[pos + 110:pos + 110 + namesize - 1].decode()
        pos += 110 + namesize
        pos += -pos % 4
        body = data[pos:pos + size]
        pos += size + (-size % 4)
        if name == "TRAILER!!!":
            return out
        out["/" + name] = (mode, body)


def body(build_dir):
    tmp = tempfile.mkdtemp(prefix="vm-image-test-")
    try:
        fake = os.path.join(tmp, "build")
        os.makedirs(os.path.join(fake, "bin"))
        os.makedirs(os.path.join(fake, "lib", "sub"))
        shutil.copy("/bin/true", os.path.join(fake, "bin", "prog"))
        with open(os.path.join(fake, "lib", "sub", "data.txt"), "w") as f:
            f.write("one\n")
        # The kernel is shared with the real runs; the images are this test's own.
        cache = os.path.join(tmp, "cache")
        os.makedirs(os.path.join(cache, "x86_64"))
        kernel_cache = os.path.join(vm.default_cache(), "x86_64", "kernel")
        os.makedirs(kernel_cache, exist_ok=True)
        os.symlink(kernel_cache, os.path.join(cache, "x86_64", "kernel"))

        _, initrd = vm.build_image(fake, cache=cache)
        files = entries(initrd)
        prog = os.path.join(fake, "bin", "prog")
        for want in ("/init", "/bin/busybox", vm.HELPERS_PATH, "/vm/modules/evdev.ko", "/vm/modules/uinput.ko",
                     "/vm/modules/binder_linux.ko", prog, fake + "/lib/sub/data.txt",
                     "/usr/lib64/ld-linux-x86-64.so.2", "/usr/lib/x86_64-linux-gnu/libc.so.6"):
            check(want in files, "image lacks %s" % want)
        check(files["/dev/console"][0] == 0o20600, "no console device node")
        check(files["/lib"][1] == b"usr/lib", "/lib does not link to usr/lib")
        check(files[prog][0] & 0o111, "program lost its execute bit")

        first = os.stat(initrd).st_mtime_ns
        vm.build_image(fake, cache=cache)
        check(os.stat(initrd).st_mtime_ns == first, "image rebuilt without a change")

        with open(os.path.join(fake, "lib", "sub", "data.txt"), "w") as f:
            f.write("two, longer\n")
        vm.build_image(fake, cache=cache)
        check(entries(initrd)[fake + "/lib/sub/data.txt"][1] == b"two, longer\n",
              "a changed file did not reach the image")

        # Each run's command travels beside the image, not in it.
        arch = entries_of_bytes(vm.command_archive("echo 'it''s'\n", {"A": "x y'z"}))
        check(arch["/vm/cmd.sh"][1] == b"echo 'it''s'\n", "command changed on the way")
        check(arch["/vm/env"][1] == b"export A='x y'\"'\"'z'\n", "environment badly quoted")

        # A missing build folder is a usage error before any boot, and the cache stays in the project.
        env = dict(os.environ, VM_CACHE="", PYTHONPATH=os.path.dirname(os.path.dirname(vm.__file__)))
        script = [sys.executable, "-m", "vm"]
        r = subprocess.run(script + ["run", "-b", os.path.join(tmp, "none"), "--", "true"],
                           cwd=tmp, env=env, capture_output=True, text=True, timeout=60)
        check(r.returncode == 2 and "no build folder" in r.stderr, "missing build folder: %r" % (r,))
        check(not os.path.exists(os.path.join(tmp, ".cache")), "cache made beside a missing build folder")

        # The build folder says which kernel can run it; another --arch is refused before any boot.
        with open(os.path.join(fake, "CMakeCache.txt"), "w") as f:
            f.write("CMAKE_BUILD_TYPE:STRING=RelWithDebInfo\nVM_ARCH:INTERNAL=armhf\n")
        check(vm.build_arch(fake) == "armhf", "build folder's architecture: %r" % vm.build_arch(fake))
        r = subprocess.run(script + ["run", "-b", fake, "--arch", "x86_64", "--", "true"],
                           cwd=tmp, env=env, capture_output=True, text=True, timeout=60)
        check(r.returncode == 2 and r.stderr.count("\n") == 1 and "an armhf build, not x86_64" in r.stderr,
              "--arch against the build folder: %r" % (r,))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def entries_of_bytes(blob):
    with tempfile.NamedTemporaryFile(suffix=".gz") as f:
        f.write(blob)
        f.flush()
        return entries(f.name)


if __name__ == "__main__":
    run(body)
