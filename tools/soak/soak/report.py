"""The table at the end of a soak and its picture of memory and descriptors over time."""
import json
import os
import subprocess
import sys

from .account import fds_constant, growth

SYSTEM_PYTHON = "/usr/bin/python3"  # Debian's, with python3-matplotlib


def _at(samples, t):
    """The first sample at or after t (the last one when none is)."""
    for st, v in samples:
        if st >= t:
            return v
    return samples[-1][1] if samples else None


def resource_rows(resources, duration):
    """resources: {process: [(t, rss kB, fds, pid)]}. Rows and the errors of the rules
    (memory not growing, descriptors constant) for processes that ran the whole soak."""
    rows, errors = [], []
    for name, samples in resources.items():
        if not samples:
            continue
        rss = [(t, r) for t, r, _, _ in samples]
        fds = [(t, f) for t, _, f, _ in samples if f is not None] or [(0.0, 0)]
        one = len({p for _, _, _, p in samples}) == 1
        rate, err = growth(rss, duration)
        ferr = fds_constant(fds, duration)
        if one:
            errors += ["%s: %s" % (name, e) for e in (err, ferr) if e]
        warm = duration / 10.0
        rows.append((name, rss[0][1], _at(rss, warm), rss[-1][1], fds[0][1], _at(fds, warm), fds[-1][1],
                     "%+.0f" % rate if rate is not None and one else "restarted" if not one else "-"))
    return rows, errors


def table(seed, minutes, counts, rows, strokes, rates, late):
    out = ["soak seed %d, %g minutes" % (seed, minutes), "",
           "%-10s %8s %8s %7s %9s" % ("part", "ops", "faults", "errors", "late, s")]
    # How late each part's steps started against the plan, the worst of its workers'.
    for part, workers in (("keys", ("keys",)), ("sensors", ("fault",)), ("agent", ("agent",)),
                          ("registry", ("registry", "samples"))):
        c = counts[part]
        worst = max(late.get(w, 0.0) for w in workers)
        out.append("%-10s %8d %8d %7d %9.2f" % (part, c["ops"], c["faults"], c["errors"], worst))
    if rates:
        out += ["", "typing: %.2f strokes a second (plan %.2f, ratio %.3f); bursts up to %.1f a second (plan %.1f)"
                % (rates[0], rates[1], rates[0] / rates[1] if rates[1] else 0.0, rates[2], rates[3])]
    if strokes:
        k = strokes
        out += ["strokes the kernel delivered: %d; forwarded to the virtual device %d, forwarded of keys it "
                "does not offer %d, reported %d, lost in stalls %d; without a trace %d; traces without a "
                "stroke %d" % (k["typed"], k["forwarded"], k["unoffered"], k["reported"], k["lost"],
                               k["traceless"], k["untraced reports"])]
    out += ["", "%-15s %9s %9s %9s %5s %5s %5s %10s" % ("process", "kB start", "kB warm", "kB end",
                                                         "fd st", "fd wm", "fd end", "kB/hour")]
    for r in rows:
        out.append("%-15s %9d %9d %9d %5d %5d %5d %10s" % r)
    return "\n".join(out) + "\n"


def picture(resources, path, title):
    """Memory and descriptors over time, one line per long-lived process; False without
    matplotlib (tried in this Python, then in Debian's)."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        if not os.path.exists(SYSTEM_PYTHON) or os.path.realpath(sys.executable) == SYSTEM_PYTHON:
            return False
        here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        r = subprocess.run([SYSTEM_PYTHON, "-m", "soak.report", path, title],
                           input=json.dumps(resources), text=True, cwd=here,
                           env=dict(os.environ, PYTHONPATH=here), capture_output=True)
        return r.returncode == 0
    fig, (mem, fd) = plt.subplots(2, 1, sharex=True, figsize=(8, 6))
    for name, samples in resources.items():
        ts = [s[0] / 60.0 for s in samples]
        mem.plot(ts, [s[1] for s in samples], label=name, marker=".")
        counted = [s for s in samples if s[2] is not None]
        fd.plot([s[0] / 60.0 for s in counted], [s[2] for s in counted], label=name, marker=".")
    mem.set_ylabel("resident kB")
    fd.set_ylabel("open descriptors")
    fd.set_xlabel("minutes")
    mem.legend(fontsize="small")
    mem.set_title(title)
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


if __name__ == "__main__":
    sys.exit(0 if picture(json.load(sys.stdin), sys.argv[1], sys.argv[2]) else 1)
