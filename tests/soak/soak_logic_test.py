#!/usr/bin/env python3
"""The soak's own logic: the schedule from a seed and the accounting of what the guest saw."""
import os
import unittest

from soak import account
from soak.plan import MIN_PERIOD, SETTLE, make_plan

HERE = os.path.dirname(os.path.abspath(__file__))


def counts():
    return dict(ops=0, faults=0, errors=0)


class Plan(unittest.TestCase):
    def test_seed_replays_and_steps_are_sane(self):
        a, b = make_plan(42, 2), make_plan(42, 2)
        self.assertEqual(a, b)
        self.assertNotEqual(a, make_plan(43, 2))
        self.assertEqual([s[0] for s in a], sorted(s[0] for s in a))
        self.assertLessEqual(a[-1][0], 120)
        parts = {s[1] for s in a}
        self.assertEqual(parts, {"keys", "sensors", "agent", "registry", "resources"})
        presses = [s for s in a if s[2] == "press"]
        # Its bursts reach the most it may type, 20 strokes a second (in stalls).
        longer = [s[0] for s in make_plan(42, 10) if s[2] == "press"]
        self.assertAlmostEqual(account.rates([], longer, 600)[3], 20, delta=0.1)
        for p, q in zip(presses, presses[1:]):
            # At most 20 a second, each released before the next.
            self.assertGreaterEqual(round(q[0] - p[0], 2), MIN_PERIOD)
            self.assertGreater(round(q[0] - p[0] - p[3][1], 2), 0)
        # Stalls alternate; no key is down at a toggle or around a stall's end.
        state, downs = None, [(p[0], p[0] + p[3][1]) for p in presses]
        for t, part, action, _ in a:
            if action in ("stop", "cont"):
                self.assertNotEqual(state, action)
                state = action
            margin = {"toggle": 0.3, "cont": SETTLE - 0.02}.get(action)
            if margin:
                self.assertFalse([d for d in downs if d[0] - margin < t < d[1] + margin], (t, action))
        # The samples are killed only while up, and started again before the end.
        up = True
        for s in a:
            if s[2] in ("kill", "start"):
                self.assertEqual(up, s[2] == "kill")
                up = not up
        self.assertTrue(up)


def stroke(t, code, hold=0.05, repeats=0):
    """One stroke as the keyboard's reader records it: press, repeats, release."""
    return [(t, code, 1)] + [(t + 0.3 + 0.03 * n, code, 2) for n in range(repeats)] + [(t + hold, code, 0)]


def taps(code):
    return [("tap", code, 1), ("tap", code, 0)]


class Strokes(unittest.TestCase):
    """The accounting over recorded streams: the keyboard's ground truth against the
    module's record. Esc 1 (offered), a 30 (not), up 103, left Ctrl 29."""

    def account(self, truth, record, stalls=()):
        s = account.Strokes(truth, record, list(stalls)).run()
        return s.errors, s.strokes()

    def test_every_rule_traced(self):
        # On: Esc forwarded (its repeats are the virtual device's own), an arrow reported
        # at each event, Ctrl's press swallowed and its release reported. Then off: the
        # arrow and Ctrl's release are forwarded.
        truth = (stroke(1, 1, 0.5, repeats=3) + stroke(2, 103, 0.4, repeats=2) + stroke(3, 29)
                 + stroke(5, 103) + stroke(6, 29) + stroke(7, 30))
        record = (taps(1) + [("report", 0)] * 4 + [("report", 0), ("activate", 0)]
                  + taps(103) + [("tap", 29, 0)] + taps(30))
        errors, c = self.account(truth, record)
        self.assertEqual(errors, [])
        self.assertEqual((c["typed"], c["forwarded"], c["reported"], c["unoffered"], c["traceless"]),
                         (6, 1, 2, 3, 0))

    def test_each_fault_fails(self):
        truth = stroke(1, 1) + stroke(2, 30) + stroke(3, 103)
        record = taps(1) + taps(30) + [("report", 0), ("report", 0)]
        self.assertEqual(self.account(truth, record)[0], [])
        dropped_forward = taps(1) + [("tap", 30, 1)] + record[4:]
        report_without_stroke = record + [("report", 90)]
        stroke_without_anything = taps(1) + record[4:]
        for name, bad in (("dropped forward", dropped_forward), ("report without a stroke",
                          report_without_stroke), ("stroke without anything", stroke_without_anything)):
            errors, c = self.account(truth, bad)
            self.assertNotEqual(errors, [], name)
        self.assertEqual(self.account(truth, stroke_without_anything)[1]["traceless"], 1)
        # A press read twice leaves a stroke that no rule gives a trace.
        twice = [(0.5, 29, 1)] + stroke(0.5, 29)
        self.assertNotEqual(self.account(twice + truth, [("report", 0)] + record)[0], [])
        self.assertEqual(self.account(truth, report_without_stroke)[1]["untraced reports"], 1)

    def test_loss_counts_only_in_a_stall_the_record_shows(self):
        # a a a typed during a stall of 2 s to 3 s; the kernel kept the last one and
        # the module released the Esc it held down (its release lost with the rest).
        truth = [(1.9, 1, 1)] + stroke(2.1, 30) + stroke(2.3, 30) + [(2.4, 1, 0)] + stroke(2.6, 30) \
            + stroke(5, 103)
        record = [("tap", 1, 1), ("tap", 30, 1), ("tap", 30, 0), ("tap", 1, 0), ("drop", 1, 0),
                  ("report", 0), ("report", 0)]
        errors, c = self.account(truth, record, [(2.0, 3.0)])
        self.assertEqual(errors, [])
        self.assertEqual((c["lost"], c["unoffered"], c["reported"], c["traceless"]), (3, 1, 1, 0))
        # Without the drop's line, outside any stall, with a drop's line that comes only
        # after later strokes, or with catch-up keys other than it says: each a fault.
        self.assertNotEqual(self.account(truth, record[:4] + record[5:], [(2.0, 3.0)])[0], [])
        self.assertNotEqual(self.account(truth, record, [(8.0, 9.0)])[0], [])
        late_drop = record[:4] + record[5:] + [("drop", 0, 0)]
        self.assertNotEqual(self.account(truth, late_drop, [(2.0, 3.0)])[0], [])
        # ... or after as many traces as the matcher looks ahead
        more = stroke(2.05, 30) + sum((stroke(2.1 + 0.03 * n, 16, 0.02) for n in range(12)), []) + stroke(6, 44)
        self.assertEqual(self.account(more, taps(16) * 12 + [("drop", 0, 0)] + taps(44), [(2.0, 3.0)])[0], [])
        self.assertNotEqual(self.account(more, taps(16) * 12 + taps(44) + [("drop", 0, 0)], [(2.0, 3.0)])[0], [])
        # A stroke typed after the continue is read: never lost, though all before it was.
        kept_none = [("tap", 1, 1), ("tap", 1, 0), ("drop", 1, 0), ("report", 0), ("report", 0)]
        self.assertEqual(self.account(truth, kept_none, [(2.0, 3.0)])[1]["lost"], 4)
        after = truth[:-2] + stroke(3.4, 30) + truth[-2:]
        self.assertNotEqual(self.account(after, kept_none, [(2.0, 3.0)])[0], [])
        # The continue is stamped after it: a key just before the stamp may come after the line.
        near_end = stroke(2.1, 30) + stroke(2.7, 44) + stroke(5, 103)
        self.assertEqual(self.account(near_end, [("drop", 0, 0)] + taps(44) + [("report", 0)] * 2,
                                      [(2.0, 3.0)])[0], [])
        pressed = record[:3] + [("tap", 1, 1), ("drop", 1, 0)] + record[5:]
        self.assertNotEqual(self.account(truth, pressed, [(2.0, 3.0)])[0], [])
        # The stopped reader also lost the held Esc's repeats, which leave no trace.
        repeats = [(2.02 + 0.01 * n, 1, 2) for n in range(3)]
        truth = truth[:1] + repeats + truth[1:]
        shadow = [e for e in truth if e not in repeats + truth[4:9]]
        s = account.Strokes(truth, record, [(2.0, 3.0)], shadow=shadow).run()
        self.assertEqual((s.errors, s.strokes()["lost"]), ([], 3))
        # Off through a stall that lost all, on again after the drop's line: the lost
        # Ctrl release is no report of the next arrow's.
        truth = stroke(2.1, 29) + stroke(2.3, 30) + stroke(5, 105)
        record = [("drop", 0, 0), ("activate", 1), ("report", 270), ("report", 270)]
        s = account.Strokes(truth, record, [(2.0, 3.0)], enabled=False, rotation=270).run()
        self.assertEqual((s.errors, s.strokes()["lost"]), ([], 2))
        # Nor is the lost Alt release one (its press left nothing either way).
        truth = stroke(2.1, 29) + stroke(2.3, 56) + stroke(5, 105)
        s = account.Strokes(truth, record, [(2.0, 3.0)], enabled=False, rotation=270).run()
        self.assertEqual((s.errors, s.strokes()["lost"]), ([], 2))
        s = account.Strokes(truth, record + [("report", 270)], [(2.0, 3.0)], enabled=False, rotation=270).run()
        self.assertNotEqual(s.errors, [])

    def test_a_recorded_stall(self):
        # The kernel dropped strokes during the stall; the module released the key it
        # held down. Every stroke is accounted for; one forward dropped, one report
        # added or the drop's line missing each make a fault.
        with open(os.path.join(HERE, "stall_stream.txt")) as f:
            lines = f.read().splitlines()
        truth, record, stalls, shadow = account.read_console(lines)
        self.assertEqual((len(stalls), shadow), (1, None))
        state = dict(enabled=True, rotation=90)
        s = account.Strokes(truth, record, stalls, **state).run()
        c = s.strokes()
        self.assertEqual((s.errors, c["traceless"], c["untraced reports"]), ([], 0, 0))
        self.assertGreater(c["lost"], 0)
        self.assertEqual(c["typed"], c["forwarded"] + c["unoffered"] + c["reported"] + c["lost"])
        # The reader stopped with the service lost the same: fine; the module losing
        # more than it did is a fault of the module's.
        lost = [e for e, label in zip(s.truth, s.label) if label == "lost"]
        shadow = [e for e in truth if e not in lost]
        self.assertEqual(account.Strokes(truth, record, stalls, shadow=shadow, **state).run().errors, [])
        shadow = [e for e in truth if e not in lost[:-4]]
        self.assertNotEqual(account.Strokes(truth, record, stalls, shadow=shadow, **state).run().errors, [])
        first_tap = next(n for n, it in enumerate(record) if it[0] == "tap")
        drop = next(n for n, it in enumerate(record) if it[0] == "drop")
        for bad in (record[:first_tap] + record[first_tap + 1:], record[:2] + [("report", 0)] + record[2:],
                    record[:drop] + record[drop + 1:]):
            self.assertNotEqual(account.Strokes(truth, bad, stalls, **state).run().errors, [])

    def test_offered_keys_and_rates(self):
        record = taps(1) + taps(125)
        self.assertEqual(account.account_offered(record, {1: 1, 125: 1}, []), [])
        self.assertNotEqual(account.account_offered(record, {1: 1}, []), [])
        self.assertNotEqual(account.account_offered(record, {1: 1, 125: 1}, ["1"]), [])
        # A press written while Meta is down there (its release lost) changes nothing there.
        self.assertEqual(account.account_offered(record[:3] + record[2:], {1: 1, 125: 1}, []), [])
        self.assertNotEqual(account.account_offered(record + taps(125), {1: 1, 125: 1}, []), [])
        # 20 presses at 20 a second, then 2 a second.
        planned = [n * 0.05 for n in range(20)] + [2 + n * 0.5 for n in range(4)]
        typed, plan_rate, peak, plan_peak = account.rates([t + 7 for t in planned], planned, 4.0)
        self.assertEqual((typed, plan_rate), (6.0, 6.0))
        self.assertAlmostEqual(peak, 20)
        self.assertAlmostEqual(plan_peak, 20)
        self.assertAlmostEqual(account.rates([n * 0.1 for n in range(20)], planned, 4.0)[2], 10)


class Agent(unittest.TestCase):
    def test_round_and_ends(self):
        sent = ["Cancel", "RequestPasskey", "Release"]
        replies = [account.CALLS[m][1] for m in sent]
        lines = ["Bluetooth agent ver 1"] + [account.CALLS[m][2] for m in sent]
        self.assertEqual(account.account_round(sent, replies, lines, 0, counts()), [])
        self.assertNotEqual(account.account_round(sent, replies, lines, 1, counts()), [])
        self.assertNotEqual(account.account_round(sent[:2], replies[:2], lines[:3], 0, counts()), [])
        wrong = ["reply Cancel", "reply RequestPasskey u 1", "reply Release"]
        self.assertNotEqual(account.account_round(sent, wrong, lines, 0, counts()), [])
        self.assertEqual(account.account_end("restart", [account.TERMINATED], 0, [], "/p", counts()), [])
        self.assertNotEqual(account.account_end("term", [], 0, ["RegisterAgent /p x"], "/p", counts()), [])
        self.assertEqual(account.account_end("term", [], 0, ["UnregisterAgent /p"], "/p", counts()), [])
        self.assertNotEqual(account.account_end("term", [account.TERMINATED], 0, ["UnregisterAgent /p"],
                                                "/p", counts()), [])


class Registry(unittest.TestCase):
    def test_results_for_the_samples_state(self):
        c = counts()
        call = ["Result: Parcel(00000000 00000007   '........')"]
        self.assertEqual(account.account_service("call", "echo", True, call, 0, c), [])
        dead = ["service: Service echo does not exist"]
        self.assertEqual(account.account_service("call", "echo", False, dead, 10, c), [])
        self.assertNotEqual(account.account_service("call", "echo", False, call, 0, c), [])
        self.assertNotEqual(account.account_service("check", "nope", True, ["Service nope: found"], 0, c), [])
        listing = ["Found 3 services:", "0\techo: [vardel.IEcho]", "1\tanonymous: []", "2\tmute: []"]
        self.assertEqual(account.account_service("list", "", True, listing, 0, c), [])
        self.assertNotEqual(account.account_service("list", "", False, listing, 0, c), [])
        self.assertNotEqual(account.account_service("list", "", True, listing[:1] + listing[2:], 0, c), [])
        # Killed from 10 s to 11 s, started from 20 s to 22 s: a step beside either may see both.
        moves = [(10, 11, False), (20, 22, True)]
        self.assertEqual([account.samples_states(moves, a, b) for a, b in ((1, 2), (12, 15), (23, 24))],
                         [{True}, {False}, {True}])
        self.assertEqual(account.samples_states(moves, 9, 10.5), {True, False})
        self.assertEqual(account.samples_states(moves, 21, 30), {True, False})


class Growth(unittest.TestCase):
    def test_memory_rule(self):
        flat = [(t, 1000 + (t % 20 == 0) * 10) for t in range(0, 600, 10)]
        self.assertIsNone(account.growth(flat, 600)[1])
        grows = [(t, 1000 + t) for t in range(0, 600, 10)]
        rate, err = account.growth(grows, 600)
        self.assertIsNotNone(err)
        self.assertAlmostEqual(rate, 3600, delta=1)
        # A big process may move by 2%: 64 kB on 10 MB is within.
        big = [(t, 10000 + (t > 400) * 150) for t in range(0, 600, 10)]
        self.assertIsNone(account.growth(big, 600)[1])
        # Descriptors opened during warm-up are fine; one more after it is not.
        self.assertIsNone(account.fds_constant([(0, 5), (100, 6), (200, 6)], 300))
        self.assertIsNotNone(account.fds_constant([(0, 5), (100, 6), (200, 7)], 300))


if __name__ == "__main__":
    unittest.main()
