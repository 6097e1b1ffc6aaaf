#!/usr/bin/env python3
"""`service` over the real kernel driver: servicemanager, the sample services
(list, check, call with each item type), one sample process that dies, and
listings too big for one transaction."""
import os
import re

from service_cases import SHELL, USAGE, case, collect, digest, digest_case
from vmtest import check, run, vm

# Each case: its stdout as O| lines, stderr as E| lines, then its status.
CASES = [
    ("no_registry", "list"),
    ("START", ""),
    ("list", "list"),
    ("check_found", "check echo"),
    ("check_missing", "check nope"),
    ("call_items", "call echo 7 i32 -5 s16 hi null intent action=A launchFlags=3"),
    ("call_arg_error", "call echo 2 s16 x i32"),
    ("call_empty_descriptor", "call anonymous 1"),
    ("call_failing_descriptor", "call mute 1"),
    ("KILL", ""),
    ("list_dead", "list"),
    ("call_dead", "call doomed 1"),
]

# Listings whose names together pass the 1 MiB that one transaction can bring
# back: name length, how many, names besides them, seconds allowed.
BIG = [
    ("many_names", 110, 5000, "", 120),
    ("long_names", 130000, 5, "a b c", 60),
]


def big_listing(length, count, others):
    names = [("echo%d" % i).ljust(length, "x") for i in range(count)] + others.split()
    return "Found %d services:\n" % len(names) + "".join(
        "%d\t%s: [vardel.IEcho]\n" % (i, n) for i, n in enumerate(names))


def guest_script():
    lines = []
    for name, args in CASES:
        if name == "START":
            lines += ["start_sm", "start_samples; samples=$bs", "start_samples doomed; doomed=$bs"]
        elif name == "KILL":
            lines += ["stop $doomed"]
        else:
            lines.append(case(name, args))
    for name, length, count, others, seconds in BIG:
        lines += ["stop $samples $sm; samples=", "start_sm",
                  "steps=2400 start_samples -L %d -n %d" % (length, count), "big=$bs"]
        if others:
            lines.append("start_samples %s; samples=$bs" % others)
        lines += [digest_case(name, seconds, "list"), "stop $big"]
    lines.append("echo '== end'")
    return SHELL + "\n".join(lines) + "\n"


SAMPLES = "0\techo: [vardel.IEcho]\n1\tanonymous: []\n2\tmute: []\n3\tdoomed: [vardel.IEcho]\n"


def dump_words(out):
    """The reply's 32-bit words from the "Result: " dump, and what follows it."""
    check(out.startswith("Result: Parcel(\n"), "no result dump in %r" % out)
    dump, rest = out.split("\n)\n", 1)
    words = []
    for m in re.finditer(r"0x[0-9a-f]{8}:((?: [0-9a-f]{8})+) '", dump):
        words += [int(w, 16) for w in m.group(1).split()]
    return words, rest


def str16(s):
    units = [ord(c) for c in s] + [0]
    if len(units) % 2:
        units.append(0)
    return [len(s)] + [units[i] | units[i + 1] << 16 for i in range(0, len(units), 2)]


TOKEN = [0x100] + str16("vardel.IEcho")
NULL_BINDER = [0x73622A85, 0, 0, 0, 0, 0]
ABSENT = 0xFFFFFFFF


def expect_case(got, name, out, err, status):
    check(name in got, "case %s did not run" % name)
    check(got[name] == [out, err, status], "%s: got %r, wanted %r" % (name, got[name], [out, err, status]))


def body(build_dir):
    if not os.path.exists(os.path.join(build_dir, "bin", "servicemanager")):
        raise vm.VMSkip("servicemanager not built in %s" % build_dir)
    with vm.VM(build_dir, guest_script(), timeout=480) as g:
        g.expect(r"^== end$", 450)
        got = collect(g.lines)
        check(g.wait(30) == 0, "guest status %r" % g.status)

    setup = [n for n in got if n.startswith("setup")]
    check(not setup, "set-up failed: %s" % setup)
    # /dev/binder is there, but nothing is the registry yet.
    expect_case(got, "no_registry", "", "service: Unable to get default service manager!\n", 20)
    expect_case(got, "list", "Found 4 services:\n" + SAMPLES, "", 0)
    expect_case(got, "check_found", "Service echo: found\n", "", 0)
    expect_case(got, "check_missing", "Service nope: not found\n", "", 0)

    out, err, status = got["call_items"]
    words, rest = dump_words(out)
    want = [7, 0] + TOKEN + [0xFFFFFFFB] + str16("hi") + NULL_BINDER + \
        str16("A") + [ABSENT, ABSENT, 3, ABSENT, 0, ABSENT]
    check(words == want, "call_items: request %s, wanted %s" % (
        [hex(w) for w in words], [hex(w) for w in want]))
    check((rest, err, status) == ("", "", 0), "call_items: %r" % ((rest, err, status),))

    out, err, status = got["call_arg_error"]
    words, rest = dump_words(out)
    check(words == [2, 0] + TOKEN + str16("x"), "call_arg_error: request %s" % words)
    check((rest, err, status) == (USAGE, "service: no integer supplied for 'i32'\n", 10),
          "call_arg_error: %r" % ((rest, err, status),))

    expect_case(got, "call_empty_descriptor", "", "service: Service anonymous does not exist\n", 10)
    expect_case(got, "call_failing_descriptor", "", "service: Service mute does not exist\n", 10)
    # The dead process's name stays registered but cannot answer.
    expect_case(got, "list_dead", "Found 4 services:\n" + SAMPLES.replace(
        "doomed: [vardel.IEcho]", "doomed: []"), "", 0)
    expect_case(got, "call_dead", "", "service: Service doomed does not exist\n", 10)
    for name, length, count, others, _ in BIG:
        first, extra = digest(big_listing(length, count, others))
        expect_case(got, name, first, "", 0)
        check(got.get(name + "/extra") == [extra], "%s: %r, wanted %r" % (
            name, got.get(name + "/extra"), extra))


run(body)
