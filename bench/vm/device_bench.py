#!/usr/bin/env python3
"""The device's figures as `device|measure|ours|baseline|ratio|goal|note` rows: boot to the
console's prompt beside the plain armhf guest's boot; each deliverable's size and its
resident memory at work beside a bare counterpart on the same device."""
import re
import sys
import time

import vm

# As root: sizes as installed, then each program at work, its VmRSS (kB) read from /proc.
GUEST = vm.GUEST_HELPERS + r"""
rss() { awk '/^VmRSS:/ {print $2}' /proc/$1/status; }
# The module's share of a process: the resident pages of its mapped file.
mapped() { awk -v f="$2" '/^[0-9a-f]+-/ {m = index($0, f) > 0} m && /^Rss:/ {s += $2} END {print s + 0}' /proc/$1/smaps; }
for f in /system/bin/agent:/system/xbin/agent_bare_responder /system/bin/service:/system/xbin/service-bench \
         /system/lib/hw/sensors.vardel.so:; do
  echo "size ${f%%:*} $(stat -c %s ${f%%:*}) $([ -n "${f#*:}" ] && stat -c %s ${f#*:} || echo -)"
done
s=$(cat /run/sensors.pid)
echo "rss sensors $(rss $s) $(( $(rss $s) - $(mapped $s sensors.vardel.so) ))"
scripted_daemon
$AS shell -c 'exec agent 0000' > /tmp/agent.out 2>&1 & ag=$!
$AS shell -c 'exec agent_bare_responder 0000' > /tmp/bare.out 2>&1 & bare=$!
upto /tmp/bt.out '^agent ' && upto /tmp/bare.out '^ready' && sleep 1
echo "rss agent $(rss $ag) $(rss $bare)"
echo "libstdc++ $(mapped $ag libstdc++)"
kill $ag $bare; echo quit >&5; ends $ag; ends $bare; ends $bt
t() { $AS shell -c "time -v $* > /dev/null" 2>&1 | awk '/Maximum resident/ {print $NF}'; }
echo "rss service $(t service list) $(t service-bench bare)"
"""


def row(measure, ours, base, goal, note, fmt="%.1f"):
    ratio = "%.2f" % (ours / base) if base else "-"
    print("device|%s|%s|%s|%s|%s|%s" % (measure, fmt % ours, fmt % base if base else "-", ratio,
                                        goal, note))


def boot(build_dir, kind):
    t0 = time.monotonic()
    if kind == "device":
        g = vm.Device(build_dir, GUEST, timeout=240, env={"DEVICE_USER": "root"}, echo=False)
    else:
        g = vm.VM(build_dir, "cut -d' ' -f1 /proc/uptime", timeout=120, arch="armhf", echo=False)
    with g:
        status = g.wait(200)
        if status != 0:
            raise vm.VMError("%s boot: guest status %r:\n%s" % (kind, status, "\n".join(g.lines[-20:])))
        wall = g.started + g.ready_after - t0
        if kind == "device":
            guest = float(g.expect(r"^device: up after ([\d.]+) s", 1, since=0).group(1))
        else:
            guest = float(g.expect(r"^([\d.]+)$", 1, since=0).group(1))
        return wall, guest, g.lines


def main(build_dir):
    wall, guest, lines = boot(build_dir, "device")
    base_wall, base_guest, _ = boot(build_dir, "plain")
    row("boot to prompt, wall s", wall, base_wall, "<= 10", "TCG; baseline: the plain armhf guest's ready line")
    row("boot to prompt, guest s", guest, base_guest, "-", "guest clock (/proc/uptime)")
    figures = {}
    for line in lines:
        m = re.match(r"^(size|rss) (\S+) (\d+) (\d+|-)$", line)
        if m:
            figures[(m.group(1), m.group(2).split("/")[-1])] = (int(m.group(3)),
                                                               None if m.group(4) == "-" else int(m.group(4)))
    want = {("size", "agent"), ("size", "service"), ("size", "sensors.vardel.so"), ("rss", "agent"),
            ("rss", "sensors"), ("rss", "service")}
    if not want <= set(figures):
        raise vm.VMError("missing figures %s:\n%s" % (sorted(want - set(figures)), "\n".join(lines[-20:])))
    kb = lambda v: v / 1024.0
    row("agent file, kB", kb(figures["size", "agent"][0]), kb(figures["size", "agent"][1]), "-",
        "stripped of debug info as installed; baseline agent_bare_responder")
    row("service file, kB", kb(figures["size", "service"][0]), kb(figures["size", "service"][1]), "-",
        "baseline service-bench (listing without text)")
    row("sensors.vardel.so file, kB", kb(figures["size", "sensors.vardel.so"][0]), None, "-", "")
    ours, base = figures["rss", "agent"]
    stdcxx = next((l.split()[1] for l in lines if l.startswith("libstdc++ ")), "?")
    row("agent RSS registered+idle, kB", ours, base, "<= 1.1x",
        "baseline bare libdbus responder (needs no libstdc++), same bus; libstdc++'s pages in the agent: %s kB"
        % stdcxx, "%d")
    ours, base = figures["rss", "sensors"]
    row("sensor service RSS, module open, kB", ours, base, "-",
        "baseline: same process less the module's mapped pages (smaps)", "%d")
    ours, base = figures["rss", "service"]
    row("service list peak RSS, kB", ours, base, "-", "baseline service-bench bare; 3 samples", "%d")


if __name__ == "__main__":
    try:
        main(sys.argv[1])
    except vm.VMSkip as e:
        print("device|skipped|-|-|-|-|%s" % e)
    except vm.VMError as e:
        print("device bench: %s" % e, file=sys.stderr)
        sys.exit(1)
