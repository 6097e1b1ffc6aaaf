"""What the real-kernel runs of `service` share: the guest's shell helpers, the
way each case's output comes back over the console, and the usage text."""
import hashlib

import vm

# Guest helpers. Every wait is bounded: a hung `service` is killed by timeout
# and shows up as status 137 instead of stalling the run.
SHELL = vm.GUEST_HELPERS + r"""
ready() { upto "$2" "$3" "$1" "${4:-100}"; } # PID FILE PATTERN [STEPS]: within STEPS x 50 ms (5 s) while PID lives
stop() { for p in "$@"; do kill -9 "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; }
# A fresh registry; the kernel releases a dead one's context a moment after
# its death, until then the next one cannot take it.
start_sm() {
  for t in 1 2 3 4 5 6 7 8 9 10; do
    rm -f /tmp/sm.out # a stale "serving" must not pass for this one's
    servicemanager "$@" > /tmp/sm.out 2>&1 & sm=$!
    ready $sm /tmp/sm.out serving && return 0
    stop $sm; usleep 100000
  done
  echo "== setup: no registry"; return 1
}
start_samples() { # ARGS...: $bs is the PID, /tmp/bs.$bs its output; $steps: ready's STEPS
  rm -f /tmp/bs.new
  binder-samples "$@" > /tmp/bs.new 2>&1 & bs=$!
  ready $bs /tmp/bs.new serving "${steps:-100}" || echo "== setup: samples $*"
  mv /tmp/bs.new /tmp/bs.$bs
}
report() {
  sed 's/^/O|/' /tmp/o; [ -n "$(tail -c1 /tmp/o)" ] && echo
  sed 's/^/E|/' /tmp/e; echo "S|$1"
}
case_() { # NAME ARGS...
  echo "== $1"; shift
  timeout -s KILL 10 service "$@" > /tmp/o 2> /tmp/e; report $?
}
digest_() { # NAME SECONDS ARGS...: for outputs too big for the console, the first line, then
  echo "== $1"; t=$2; shift 2 # the line count and MD5 of all of it
  timeout -s KILL "$t" service "$@" > /tmp/o 2> /tmp/e; s=$?
  head -n 1 /tmp/o | sed 's/^/O|/'
  echo "X|lines $(wc -l < /tmp/o) md5 $(md5sum < /tmp/o | cut -d ' ' -f 1)"
  sed 's/^/E|/' /tmp/e; echo "S|$s"
}
"""


def case(name, args):
    """The guest line that runs `service ARGS` as case NAME."""
    return "case_ %s %s" % (name, args)


def digest_case(name, seconds, args):
    """The guest line that runs `service ARGS` as case NAME, for a big output."""
    return "digest_ %s %d %s" % (name, seconds, args)


def digest(text):
    """What digest_ reports for an output TEXT: its first line, and the X| line."""
    first = text.split("\n", 1)[0] + "\n"
    return first, "X|lines %d md5 %s" % (text.count("\n"), hashlib.md5(text.encode()).hexdigest())


def collect(lines):
    """name -> [stdout, stderr, status] from the prefixed lines; other
    prefixed lines (X|...) are kept under name + '/extra'."""
    result, name = {}, None
    for line in lines:
        if line.startswith("== "):
            name = line[3:]
            result[name] = ["", "", None]
        elif name and line.startswith("O|"):
            result[name][0] += line[2:] + "\n"
        elif name and line.startswith("E|"):
            result[name][1] += line[2:] + "\n"
        elif name and line.startswith("S|"):
            result[name][2] = int(line[2:])
        elif name and line[1:2] == "|":
            result.setdefault(name + "/extra", []).append(line)
    return result


USAGE = ("Usage: service [-h|-?]\n       service list\n       service check SERVICE\n"
         "       service call SERVICE CODE [i32 INT | s16 STR] ...\nOptions:\n"
         "   i32: Write the integer INT into the send parcel.\n"
         "   s16: Write the UTF-16 string STR into the send parcel.\n")
