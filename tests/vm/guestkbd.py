"""A keyboard for guests without one (ARM's virt machine has no PS/2): vkeyboard in the
guest makes it through uinput from the lines of the virtio port "keys", and the host's
`g.keyboard` types there (vm.PortKeyboard), each call returning once the guest wrote the
event. The console stays the guest command's."""
from vmtest import vm

# guest_keyboard (guest/helpers.sh) sets $kbd, vkeyboard's PID, and $keys, the port.
PRELUDE = vm.GUEST_HELPERS + "guest_keyboard || exit 1\n"


class KeyboardVM(vm.VM):
    """vm.VM with the guest keyboard on the key port."""

    def __init__(self, build_dir, script, **kw):
        super().__init__(build_dir, PRELUDE + script, key_port=True, **kw)
