#!/usr/bin/env python3
"""`service` over the real kernel driver when its peers go away: a service that
dies in the middle of a call, and a registry that is missing, killed before the
command, or dies while a command runs. Each command must end with its own
output; none may hang (the guest kills any that takes 10 s)."""
import os

from service_cases import SHELL, case, collect
from vmtest import check, run, vm

NO_REGISTRY = ("", "service: Unable to get default service manager!\n", 20)
DEAD_CALL = ("Result: Parcel(NULL)\n", "", 0)
# Queries 1-4 are the listing's four pages (three names and the end), 5 and 6
# the lookups of echo0 and echo1. echo0 answered; the registry died at the
# lookup of echo1, so it and every later name have no reference.
CUT_LISTING = ("Found 3 services:\n0\techo0: [vardel.IEcho]\n1\techo1: []\n2\techo2: []\n", "", 0)

GUEST = SHELL + "\n".join([
    # Nothing has become the registry yet.
    case("never_list", "list"),
    case("never_check", "check echo"),
    case("never_call", "call echo 1"),

    "start_sm",
    "start_samples -x crash; crash=$bs",
    "start_samples -w stuck; stuck=$bs",
    "start_samples -n 3; echoes=$bs",
    # The handler ends its process with the call on its stack.
    case("call_exits", "call crash 7 i32 5"),
    'ends $crash > /tmp/st; echo "X|exit $(cat /tmp/st)"',
    # The call is held in the handler until the process is killed under it.
    'echo "== call_killed"',
    "timeout -s KILL 10 service call stuck 2 s16 hi > /tmp/o 2> /tmp/e & c=$!",
    'ready $c /tmp/bs.$stuck "holding call 2" || echo "X|not held"',
    "stop $stuck; wait $c; report $?",
    # The registry outlives its dead services.
    case("list_after", "list"),

    "stop $sm",
    case("gone_list", "list"),
    case("gone_check", "check echo0"),
    case("gone_call", "call echo0 1"),
    "stop $echoes",

    "start_sm -x 6; start_samples -n 3",
    case("exits_in_list", "list"),
    'ends $sm > /tmp/st; echo "X|exit $(cat /tmp/st)"; stop $bs',

    "start_sm -w 6; start_samples -n 3",
    'echo "== killed_in_list"',
    "timeout -s KILL 10 service list > /tmp/o 2> /tmp/e & c=$!",
    'ready $c /tmp/sm.out "holding query 6" || echo "X|not held"',
    "stop $sm; wait $c; report $?; stop $bs",

    # Started with standard output and error closed: the driver must not get their numbers, or
    # the listing would be written into it. Seen while the registry holds the listing.
    "start_sm -w 3; start_samples -n 3",
    'echo "== closed_std"',
    "timeout -s KILL 10 service list >&- 2>&- & c=$!",
    'ready $c /tmp/sm.out "holding query 3" || echo "X|not held"',
    'echo "X|fds $(readlink /proc/$c/fd/1) $(readlink /proc/$c/fd/2)"',
    'stop $sm; wait $c; echo "S|$?"; stop $bs',

    # Output that cannot be written is lost; the command is still done. Four
    # descriptors are enough: the three standard ones and the driver (the
    # sanitizers' runtime needs a pipe of its own besides: six there).
    "start_sm; start_samples -n 1",
    'echo "== full_out"; timeout -s KILL 10 service list > /dev/full 2> /tmp/e; : > /tmp/o; report $?',
    'echo "== low_nofile"',
    "timeout -s KILL 10 sh -c 'ulimit -n @NOFILE@; exec service list' > /tmp/o 2> /tmp/e; report $?",
    "stop $sm $bs",

    "start_sm -x 1; start_samples -n 3",
    case("exits_at_listing", "list"),
    "stop $sm $bs",
    # The registry dies at the second page, or at the one past the last name.
    "start_sm -x 2; start_samples -n 3",
    case("exits_mid_pages", "list"),
    "stop $sm $bs",
    "start_sm -x 4; start_samples -n 3",
    case("exits_at_list_end", "list"),
    "stop $sm $bs",
    # A registry that answers "done" with no name or binder in the reply: at the
    # second page the listing ends; a lookup finds nothing.
    "start_sm -g 2; start_samples -n 3",
    case("garbled_page", "list"),
    "stop $sm $bs",
    "start_sm -g 5; start_samples -n 3",
    case("garbled_lookup", "list"),
    "stop $sm $bs",
    # A registry that goes round past its last name: a name that comes again ends the listing.
    "start_sm -r; start_samples -n 3",
    case("wrapping_list", "list"),
    "stop $sm $bs",
    "start_sm -x 1; start_samples -n 1",
    case("exits_at_check", "check echo0"),
    "stop $sm $bs",
    "start_sm -x 1; start_samples -n 1",
    case("exits_at_call_lookup", "call echo0 1"),
    "stop $sm $bs",
    "echo '== end'",
]) + "\n"

EXPECTED = {
    "never_list": NO_REGISTRY,
    "never_check": NO_REGISTRY,
    "never_call": NO_REGISTRY,
    "call_exits": DEAD_CALL,
    "call_killed": DEAD_CALL,
    "list_after": ("Found 5 services:\n0\tcrash: []\n1\tstuck: []\n2\techo0: [vardel.IEcho]\n"
                   "3\techo1: [vardel.IEcho]\n4\techo2: [vardel.IEcho]\n", "", 0),
    "gone_list": NO_REGISTRY,
    "gone_check": NO_REGISTRY,
    "gone_call": NO_REGISTRY,
    "exits_in_list": CUT_LISTING,
    "killed_in_list": CUT_LISTING,
    "closed_std": ("", "", 0),
    "full_out": ("", "", 0),
    "low_nofile": ("Found 1 services:\n0\techo0: [vardel.IEcho]\n", "", 0),
    "exits_at_listing": ("Found 0 services:\n", "", 0),
    "exits_mid_pages": ("Found 1 services:\n0\techo0: []\n", "", 0),
    "garbled_page": ("Found 1 services:\n0\techo0: [vardel.IEcho]\n", "", 0),
    "garbled_lookup": ("Found 3 services:\n0\techo0: []\n1\techo1: [vardel.IEcho]\n"
                       "2\techo2: [vardel.IEcho]\n", "", 0),
    "exits_at_list_end": ("Found 3 services:\n0\techo0: []\n1\techo1: []\n2\techo2: []\n", "", 0),
    "wrapping_list": ("Found 3 services:\n0\techo0: [vardel.IEcho]\n1\techo1: [vardel.IEcho]\n"
                      "2\techo2: [vardel.IEcho]\n", "", 0),
    "exits_at_check": ("Service echo0: not found\n", "", 0),
    "exits_at_call_lookup": ("", "service: Service echo0 does not exist\n", 10),
}
# Lines besides the outputs: how the dying processes ended, and nothing else
# (no "not held", no failed set-up).
EXTRA = {
    "call_exits/extra": ["X|exit status 3"],
    "exits_in_list/extra": ["X|exit status 3"],
    "closed_std/extra": ["X|fds /dev/null /dev/null"],
}


def body(build_dir):
    if not os.path.exists(os.path.join(build_dir, "bin", "servicemanager")):
        raise vm.VMSkip("servicemanager not built in %s" % build_dir)
    with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
        sanitized = "SANITIZE:BOOL=ON\n" in f.read()
    with vm.VM(build_dir, GUEST.replace("@NOFILE@", "6" if sanitized else "4"), timeout=180) as g:
        g.expect(r"^== end$", 150)
        got = collect(g.lines)
        check(g.wait(30) == 0, "guest status %r" % g.status)

    setup = [n for n in got if n.startswith("setup")]
    check(not setup, "set-up failed: %s" % setup)
    for name, want in EXPECTED.items():
        check(name in got, "case %s did not run" % name)
        check(tuple(got[name]) == want, "%s: got %r, wanted %r" % (name, got[name], want))
    extra = {k: v for k, v in got.items() if k.endswith("/extra")}
    check(extra == EXTRA, "other guest lines: %r, wanted %r" % (extra, EXTRA))


run(body)
