#!/usr/bin/env python3
"""`service list` on the real kernel driver against its bare baseline
(service-bench bare), for registries of 1, 10, 100 and 1000 services, in one
boot. Prints service|measure|ours|baseline|ratio|goal|note rows.

Transactions are the kernel's own count (BC_TRANSACTION in the binder driver's
debugfs stats) around one run of each program, so neither side can miscount
itself. Times are whole processes (fork to exit) on the guest's clock, the two
sides alternating."""
import os
import statistics
import sys

import vm
from service_cases import SHELL

# Services -> timed runs per side; the big registry's runs take about a second.
SIZES = [(1, 21), (10, 21), (100, 15), (1000, 11)]
RATIO_GOAL = 1.2
# The guest's clock counts instructions (1 ns each), so the figures do not
# take in the load that other work puts on the shared host; BENCH_QEMU=""
# times with the guest's ordinary clock instead.
QEMU_ARGS = os.environ.get("BENCH_QEMU", "-icount shift=0,sleep=on").split()
CLOCK = ("guest clock at 1 instruction per ns (qemu %s)" % " ".join(QEMU_ARGS) if
         any(a.startswith("-icount") for a in QEMU_ARGS) else "guest wall clock")

GUEST = SHELL + r"""
mount -t debugfs none /sys/kernel/debug || echo "B|no debugfs"
tx() { sed -n 's/^BC_TRANSACTION: //p' /sys/kernel/debug/binder/stats; }
for size in %s; do
  n=${size%%:*}; reps=${size#*:}
  start_sm
  rm -f /tmp/bs.out; binder-samples -n $n > /tmp/bs.out 2>&1 & bs=$!
  ready $bs /tmp/bs.out serving 1200 || echo "B|samples $n not ready"
  a=$(tx); service list > /tmp/list.out; s=$?; b=$(tx)
  echo "B|$n ours tx $((b - a)) status $s lines $(wc -l < /tmp/list.out)"
  a=$(tx); service -h > /dev/null; s=$?; b=$(tx)
  echo "B|$n probe tx $((b - a)) status $s"
  a=$(tx); r=$(service-bench bare); s=$?; b=$(tx)
  echo "B|$n bare tx $((b - a)) status $s $r"
  service-bench time $reps | sed "s/^/B|$n time /"
  stop $bs $sm
done
echo "B|end"
""" % " ".join("%d:%d" % s for s in SIZES)


def row(measure, ours, base, ratio, goal, note):
    print("service|%s|%s|%s|%.3f|%s|%s" % (measure, ours, base, ratio, goal, note))


def fail(msg):
    print("bench_list: %s" % msg, file=sys.stderr)
    sys.exit(1)


def parse(lines):
    """size -> {'ours': (tx, status, lines), 'bare': (tx, status, text),
    'time': [(side, us)...]}"""
    out = {}
    for line in lines:
        if not line.startswith("B|"):
            continue
        words = line[2:].split()
        if words[0] in ("end",):
            continue
        if not words[0].isdigit():
            fail("guest: %s" % line[2:])
        n = int(words[0])
        d = out.setdefault(n, {"time": []})
        if words[1] == "ours" and len(words) == 8:
            d["ours"] = (int(words[3]), int(words[5]), int(words[7]))
        elif words[1] == "probe" and len(words) == 6:
            d["probe"] = int(words[3])
        elif words[1] == "bare":
            d["bare"] = (int(words[3]), int(words[5]), " ".join(words[6:]))
        elif words[1] == "time" and len(words) == 4:
            d["time"].append((words[2], int(words[3])))
        else:
            fail("guest: %s" % line[2:])
    return out


def report(n, reps, d):
    if "ours" not in d or "bare" not in d or "probe" not in d:
        fail("no counts for %d services" % n)
    tx, status, lines = d["ours"]
    btx, bstatus, btext = d["bare"]
    if status != 0 or lines != n + 1:
        fail("service list of %d: status %d, %d lines" % (n, status, lines))
    if bstatus != 0 or btext != "listed %d, described %d" % (n, n):
        fail("bare of %d: status %d, %r" % (n, bstatus, btext))
    # N+1 name requests (the last one is the registry's end), N lookups and
    # N descriptor queries.
    bare_tx = 3 * n + 1
    if btx != bare_tx:
        fail("bare of %d made %d transactions, not %d" % (n, btx, bare_tx))
    label = "list %d service%s" % (n, "" if n == 1 else "s")
    # `service -h` makes only the platform library's start-up probe for the
    # registry, which the bare loop has no need of: the limit is one more.
    row(label + ": transactions", tx, "%d (bare)" % bare_tx, tx / bare_tx, "<= %d" % (bare_tx + 1),
        "limit 3N+2: the bare loop's 3N+1 and the registry probe at start (service -h makes %d)" % d["probe"])

    ours = [us for side, us in d["time"] if side == "ours"]
    bare = [us for side, us in d["time"] if side == "bare"]
    if len(ours) != reps or len(bare) != reps:
        fail("%d services: %d/%d timed runs of %d" % (n, len(ours), len(bare), reps))
    # Runs i of both sides are neighbours in time, so their ratio shows how
    # much of the spread the shared machine put on both alike.
    pairs = sorted(o / b for o, b in zip(ours, bare))
    mo, mb = statistics.median(ours), statistics.median(bare)
    row(label + ": us per service", "%.1f" % (mo / n), "%.1f (bare)" % (mb / n), mo / mb,
        "<= %.1fx" % RATIO_GOAL,
        "medians of %d runs, whole process, %s; pair ratios median %.3f spread %.3f-%.3f; "
        "per run ours %d-%d us, bare %d-%d us" % (
            reps, CLOCK, statistics.median(pairs),
            pairs[0], pairs[-1], min(ours), max(ours), min(bare), max(bare)))
    return mo, mb


def report_slope(small, big, load):
    """The cost of one more service, without the process start that the
    small registries' figures are made of."""
    (n0, o0, b0), (n1, o1, b1) = small, big
    ours, bare = (o1 - o0) / (n1 - n0), (b1 - b0) / (n1 - n0)
    if bare <= 0:
        fail("no growth of the bare time from %d to %d services" % (n0, n1))
    row("list: us per added service (%d to %d)" % (n0, n1), "%.1f" % ours, "%.1f (bare)" % bare,
        ours / bare, "<= %.1fx" % RATIO_GOAL,
        "from the medians above; x86_64 guest under qemu TCG, no KVM; host load %s" % load)


def main():
    if len(sys.argv) != 2:
        print("usage: %s BUILD_DIR" % sys.argv[0], file=sys.stderr)
        sys.exit(2)
    build_dir = os.path.abspath(sys.argv[1])
    for prog in ("service", "servicemanager", "binder-samples", "service-bench"):
        if not os.path.exists(os.path.join(build_dir, "bin", prog)):
            fail("%s not built in %s (configure with the service part)" % (prog, build_dir))
    load_before = os.getloadavg()[0]
    # Standard output is the table; the guest's console shows only on failure.
    g = None
    try:
        with vm.VM(build_dir, GUEST, timeout=400, echo=False, qemu_args=QEMU_ARGS) as g:
            g.expect(r"^B\|end$", 380)
            if g.wait(30) != 0:
                raise vm.VMError("guest status %r" % g.status)
            lines = list(g.lines)
    except vm.VMSkip as e:
        row("list: real-kernel bench", "-", "-", 0, "-", "skipped: %s" % e)
        return
    except vm.VMError as e:
        sys.stderr.write("".join("guest| %s\n" % l for l in (g.lines[-30:] if g else [])))
        fail(str(e))
    got = parse(lines)
    medians = {}
    for n, reps in SIZES:
        medians[n] = report(n, reps, got.get(n, {"time": []}))
    load = "%.1f to %.1f" % (load_before, os.getloadavg()[0])
    report_slope((100,) + medians[100], (1000,) + medians[1000], load)


main()
