"""The real-kernel bench as a library: Debian's kernel under qemu with a busybox initramfs
that carries the build folder. `vm.VM` boots and runs one guest command; see tools/vm/README.md."""
from .common import (ARCHES, BENCH_FAILURE, PROJECT, SKIP, VMError, VMSkip, build_arch, command_script,
                     default_arch, default_cache, log)
from .image import HELPERS_PATH, build_image, command_archive, image_inputs
from .kernel import fetch_busybox, fetch_kernel
from .keyboard import Keyboard, PortKeyboard, QMPKeyboard
from .qmp import QMP
from .runner import EXIT_LINE, READY_LINE, VM, key_port_args
from .keys import KEY_CODES, keyboard_lines, parse_keys
from .device import GUEST_HELPERS, Device, DeviceLayout, public_keys_path

# What the package offers (the tests, benchmarks and demos use these by name).
__all__ = [
    "ARCHES", "BENCH_FAILURE", "PROJECT", "SKIP", "VMError", "VMSkip", "build_arch", "command_script",
    "default_arch", "default_cache", "log", "HELPERS_PATH", "build_image", "command_archive",
    "image_inputs", "fetch_busybox", "fetch_kernel", "Keyboard", "PortKeyboard", "QMPKeyboard", "QMP",
    "EXIT_LINE", "READY_LINE", "VM", "key_port_args", "KEY_CODES", "keyboard_lines", "parse_keys",
    "GUEST_HELPERS", "Device", "DeviceLayout", "public_keys_path",
]
