"""A keyboard for guests without one (ARM's virt machine has no PS/2): vkeyboard
in the guest makes it through uinput, and the host types by console lines.

Console lines starting with "k " go to vkeyboard; every other line reaches the
guest command on /tmp/console.in, which it reads instead of /dev/console."""
from vmtest import vm

CODES = vm.KEY_CODES

PRELUDE = r"""
mkfifo /tmp/kbd.in /tmp/console.in
vkeyboard < /tmp/kbd.in &
kbd=$!
(
    exec 3> /tmp/kbd.in 4> /tmp/console.in
    while IFS= read -r line; do
        case "$line" in
            "k "*) printf '%s\n' "${line#k }" >&3 ;;
            *) printf '%s\n' "$line" >&4 ;;
        esac
    done < /dev/console
) &
n=0
until grep -q 'Name="AT Translated Set 2 keyboard"' /proc/bus/input/devices; do
    n=$((n+1)); [ $n -gt 100 ] && { echo "no guest keyboard"; exit 1; }
    sleep 0.1
done
"""


class Typist:
    """Types through vkeyboard; each call returns once the guest wrote the event."""

    def __init__(self, guest):
        self.g = guest

    def _code(self, qcode):
        if qcode not in CODES:
            raise vm.VMError("no key code for %r" % qcode)
        return CODES[qcode]

    def _typed(self, code, value, mark, timeout):
        # The test's own expects go on from where they were, not from this line.
        cursor = self.g._cursor
        try:
            self.g.expect(r"^typed %d %d$" % (code, value), timeout, since=mark)
        finally:
            self.g._cursor = cursor

    def key(self, qcode, down):
        code = self._code(qcode)
        mark = self.g.mark()
        self.g.send_line("k %s %d" % ("down" if down else "up", code))
        self._typed(code, 1 if down else 0, mark, 10)

    def press(self, qcode, hold=0.05):
        code = self._code(qcode)
        mark = self.g.mark()
        self.g.send_line("k press %d %d" % (code, int(hold * 1000)))
        self._typed(code, 0, mark, 10 + hold)

    def close(self):
        pass


class KeyboardVM(vm.VM):
    """vm.VM with the guest keyboard: `qmp` types through it, and the script's
    reads of /dev/console read the host's other lines."""

    def __init__(self, build_dir, script, **kw):
        script = PRELUDE + script.replace("< /dev/console", "< /tmp/console.in")
        super().__init__(build_dir, script, **kw)
        self.qmp.close()
        self.qmp = Typist(self)
