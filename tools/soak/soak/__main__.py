"""./dev soak [--minutes N | --hours H] [--seed S] [--plan] | --account LOG: the device under a seeded mix of use and
faults. Exit status: 0 all accounted for, 1 a fault found, 2 usage, 77 cannot run here."""
import argparse
import os
import re
import signal
import sys
import time

from .plan import format_step, make_plan


def account_log(path):
    """The stroke accounting over a console log: its counts and faults; 0 all accounted."""
    from . import account
    try:
        with open(path, errors="replace") as f:
            lines = f.readlines()
    except OSError as e:
        print("soak: %s: %s" % (path, e.strerror), file=sys.stderr)
        return 2
    truth, record, stalls, shadow = account.read_console(lines)
    end = [m.group(1).split() for m in (re.search(r"soak: \d+ ((zaze|held)\b.*)$", l) for l in lines) if m]
    s = account.Strokes(truth, record, stalls, shadow=shadow).run()
    c = s.strokes()
    print("%s: %d key events, %d stalls%s" % (path, len(s.truth), len(stalls),
                                              "" if shadow is not None else ", no stopped reader"))
    print(" ".join("%s %d" % (k, v) for k, v in c.items()))
    errors = list(s.errors)
    # The virtual device's counts, taken at the run's end: absent from a run cut short.
    zaze = {w[1]: int(w[2]) for w in end if w[0] == "zaze" and len(w) == 3}
    if zaze:
        errors += account.account_offered(record, zaze, next((w[1:] for w in end if w[0] == "held"), []))
    else:
        print("no counts of the virtual device's presses (a run cut short)")
    for e in errors:
        print("fault: %s" % e)
    return 1 if errors or not s.truth else 0


def main(argv=None):
    ap = argparse.ArgumentParser(prog="dev soak")
    length = ap.add_mutually_exclusive_group()
    length.add_argument("--minutes", type=float, default=None, help="default: 10")
    length.add_argument("--hours", type=float, default=None)
    ap.add_argument("--seed", type=int, default=None, help="default: from the clock")
    ap.add_argument("--plan", action="store_true", help="print the schedule and exit")
    ap.add_argument("--account", metavar="LOG", help="account for the strokes of a soak's console log again "
                    "(soak-SEED.log), with no boot")
    ap.add_argument("--build-dir", default="build-armhf")
    ap.add_argument("--out", default=None, help="where the table and picture go (BUILD/soak)")
    a = ap.parse_args(argv)
    if a.hours is not None:
        a.minutes = a.hours * 60.0
    elif a.minutes is None:
        a.minutes = 10.0
    if not 0 < a.minutes <= 7 * 24 * 60:
        ap.error("the length must be positive and at most a week")
    if a.account:
        return account_log(a.account)
    seed = a.seed if a.seed is not None else int(time.time()) % 1000000
    plan = make_plan(seed, a.minutes)
    print("soak seed %d, %g minutes, %d steps" % (seed, a.minutes, len(plan)), flush=True)
    if a.plan:
        try:
            for step in plan:
                print(format_step(step))
            sys.stdout.flush()
        except BrokenPipeError:  # | head
            sys.stdout = None
        return 0
    from vm.common import VMSkip
    from .run import soak

    def ended(sig, _frame):
        # Unwinds the run, so that the device it booted is ended and its files removed.
        print("soak: ended by signal %d" % sig, file=sys.stderr)
        sys.exit(128 + sig)
    for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
        signal.signal(sig, ended)
    try:
        return soak(a.build_dir, seed, a.minutes, plan, a.out or os.path.join(a.build_dir, "soak"))
    except VMSkip as e:
        print("soak: cannot run here: %s" % e, file=sys.stderr)
        return 77


if __name__ == "__main__":
    sys.exit(main())
