#!/usr/bin/env python3
"""The device in one boot: the three deliverables from their platform paths, run by the
shell user, under the platform's services and the bus's deny-by-default policy. The agent
run by `shell` through the daemon's whole conversation, registered and pairing; another
user's call to the agent and claim on org.velto refused by the bus itself; service list,
check and call from /system/bin; a missing command named by the shell; arrows typed from
the host as the sensor service's four reports, and Esc, left Meta and Compose on
"Zaze V2 Buttons"; nothing of the test left running."""
import re

from vmtest import check, run, vm

DEV = "/org/velto/hci0/dev_00_11_22_33_44_55"
# The daemon's whole conversation as the agent prints it, registered or pairing.
CONVERSATION = [
    "Pincode request for device " + DEV, "Passkey request for device " + DEV,
    "Confirmation request of 123456 for device " + DEV, "Authorizing request for " + DEV,
    "Request canceled", "Agent has been released"]
SERVICES = {"dbus-daemon": "messagebus", "btdaemon": "bluetooth", "servicemanager": "system",
            "binder-samples": "system", "sensormon": "system"}
# What the suite starts; none of it may outlive the suite.
OURS = re.compile(r"^(shell|stranger|bluetoo\S*) |agent|dbus-send|evprobe|tail|btdaemon|timeout")

# Runs as root; each part as the user it belongs to, every wait bounded by timeout,
# `upto` or `ends`, every background process ended by its PID.
GUEST = vm.GUEST_HELPERS + r"""
part() { echo "== $1"; }
part users; ps -o user,args | grep -v '\['
part paths; for p in agent service; do command -v $p; done; ls /system/lib/hw
part "missing command"; nosuchcmd 2>&1; echo "status $?"

for args in "0000" "0000 00:11:22:33:44:55"; do
  part "agent $args"
  as shell "timeout -s KILL 30 agent $args" 2>&1; echo "status $?"
done
part daemon; cat /data/log/btdaemon.log

for args in list "check echo" "check nope" "call echo 1 i32 7"; do
  part "service $args"; as shell "timeout -s KILL 10 service $args" 2>&1; echo "status $?"
done

part keys
$AS shell -c 'exec evprobe watch "Zaze V2 Buttons" 60000' & ev=$!
tail -n 0 -f /data/log/sensors.log & tl=$!
upto /proc/bus/input/devices Zaze && usleep 300000
echo "keys ready"
read line
kill $ev $tl; wait $ev $tl 2>/dev/null

# The agent stays registered while others try their calls.
scripted_daemon
$AS shell -c 'exec agent 0000' > /tmp/agent.out 2>&1 & ag=$!
upto /tmp/bt.out '^agent ' || echo "agent did not register"
set -- $(grep '^agent ' /tmp/bt.out); name=$2 path=$3
for u in stranger shell; do
  part "call as $u"
  as $u "timeout -s KILL 10 dbus-send --system --print-reply --dest=$name $path" \
     "org.velto.Agent.RequestPinCode objpath:/org/velto/hci0/dev_$u" 2>&1; echo "status $?"
  part "own as $u"; as $u "timeout -s KILL 10 btdaemon" 2>&1; echo "status $?"
done
echo "call RequestPinCode o /org/velto/hci0/dev_daemon" >&5
echo "call Release" >&5
part "agent end"; ends $ag
echo quit >&5; exec 5>&-
part "daemon end"; ends $bt
part "agent output"; cat /tmp/agent.out
part "scripted daemon"; cat /tmp/bt.out
# busybox timeout's watcher notices its program's end within a second.
i=0
while ps -o args | grep -q '^timeout' && [ $i -lt 50 ]; do i=$((i+1)); usleep 100000; done
part left; ps -o user,args | grep -v '\['
part end
"""


def sections(lines):
    out, name = {}, None
    for line in lines:
        if line.startswith("== "):
            name = line[3:]
            out[name] = []
        elif name:
            out[name].append(line)
    return out


def body(build_dir):
    with vm.Device(build_dir, GUEST, timeout=200, env={"DEVICE_USER": "root"}) as g:
        g.expect(r"^keys ready$", 120)
        # Arrows reach the sensor service as its four rotations; the rest goes on.
        for key, deg in (("down", 180), ("right", 90), ("left", 270), ("up", 0)):
            g.type_keys([key])
            g.expect(r"^report rotation=%d " % deg, 15)
        for key, code in (("esc", 1), ("meta_l", 125), ("compose", 127)):
            g.type_keys([key])
            g.expect(r"^event type=1 code=%d value=0$" % code, 15)
        g.send_line("keys done")
        status = g.wait(120)
        s = sections(g.lines)
    check(g.proc.poll() is not None, "qemu still running after the suite")
    check(status == 0, "guest status %r" % status)
    check("end" in s, "the guest script stopped early: %s" % list(s))

    # ps shows eight letters of a user name.
    users = {m.group(2).split()[0]: m.group(1)
             for m in (re.match(r"^(\S+)\s+(\S.*)$", l) for l in s["users"]) if m}
    for prog, user in SERVICES.items():
        check(users.get(prog) == user[:8], "%s runs as %r, not %s" % (prog, users.get(prog), user))
    check(s["paths"] == ["/system/bin/agent", "/system/bin/service", "sensors.vardel.so"],
          "deliverables not at their platform paths: %r" % s["paths"])
    # The shell names the command, not the file that carries it into the guest.
    check(s["missing command"] == ["sh: nosuchcmd: not found", "status 127"],
          "missing command: %r" % s["missing command"])

    for args in ("0000", "0000 00:11:22:33:44:55"):
        got = [l for l in s["agent " + args] if l and not l.startswith("Bluetooth agent ver")]
        check(got == CONVERSATION + ["status 0"], "agent %s through the policy: %r" % (args, got))
    daemon = s["daemon"]
    for member in ("RegisterAgent", "CreatePairedDevice"):
        check(any(l.startswith(member + " ") for l in daemon), "daemon never saw %s" % member)
    answers = ("reply RequestPinCode s 0000", "reply RequestPasskey u 0",
               "reply RequestConfirmation", "reply Authorize", "reply Cancel", "reply Release")
    check(all(daemon.count(r) == 2 for r in answers),
          "daemon's side of the two conversations: %r" % daemon)

    check(s["service list"][0] == "Found 3 services:" and s["service list"][-1] == "status 0",
          "service list: %r" % s["service list"])
    check(s["service check echo"] == ["Service echo: found", "status 0"],
          "service check echo: %r" % s["service check echo"])
    check(s["service check nope"][0] == "Service nope: not found",
          "service check nope: %r" % s["service check nope"])
    call = " ".join(s["service call echo 1 i32 7"])
    check("00000007" in call and call.endswith("status 0"), "service call: %r" % call)

    # The bus itself refuses the others' calls to the agent (the agent would refuse them
    # too, with an error of its own) and their claim on the daemon's name.
    for user in ("stranger", "shell"):
        call = s["call as " + user]
        check(any(l.startswith("Error org.freedesktop.DBus.Error.AccessDenied: Rejected send")
                  for l in call) and call[-1] == "status 1", "call as %s: %r" % (user, call))
        own = s["own as " + user]
        check(own[-1] == "status 1" and any("cannot take the bus name" in l for l in own),
              "own as %s: %r" % (user, own))
    check(s["agent end"] == ["status 0"] and s["daemon end"] == ["status 0"],
          "agent and daemon did not end cleanly: %r %r" % (s["agent end"], s["daemon end"]))
    # Nothing of the refused calls: only the daemon's two.
    agent = [l for l in s["agent output"] if l and not l.startswith("Bluetooth agent ver")]
    check(agent == ["Pincode request for device /org/velto/hci0/dev_daemon", "Agent has been released"],
          "the agent's lines: %r" % agent)
    check("reply RequestPinCode s 0000" in s["scripted daemon"],
          "daemon got no PIN: %r" % s["scripted daemon"])

    stray = [l for l in s["left"] if OURS.search(l)]
    check(not stray, "processes left in the guest: %r" % stray)


run(body)
