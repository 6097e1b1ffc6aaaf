#!/usr/bin/env python3
"""The soak's own logic: the schedule from a seed and the accounting of what the guest saw."""
import unittest

from soak import account
from soak.plan import MIN_PERIOD, make_plan


def counts():
    return dict(ops=0, faults=0, errors=0, typed=0, delivered=0, traceless=0, stalled=0, lost=0)


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
        for p, q in zip(presses, presses[1:]):
            # At most 20 a second, each released before the next.
            self.assertGreaterEqual(round(q[0] - p[0], 2), MIN_PERIOD)
            self.assertGreater(round(q[0] - p[0] - p[3][1], 2), 0)
        # A stall is ended within its burst; the sensor is toggled only at a quiet moment.
        state = None
        for i, (t, part, action, _) in enumerate(a):
            if action in ("stop", "cont"):
                self.assertNotEqual(state, action)
                state = action
            if action == "quiet":
                self.assertNotEqual(state, "stop")
            if action == "toggle":
                self.assertEqual(a[i - 1][2], "quiet")
        # The samples are killed only while up, and started again before the end.
        up = True
        for s in a:
            if s[2] in ("kill", "start"):
                self.assertEqual(up, s[2] == "kill")
                up = not up
        self.assertTrue(up)


class Keys(unittest.TestCase):
    def test_forwarded_keys_outside_and_inside_stalls(self):
        # esc outside, meta_l outside, compose inside the stall (events 4 and 5).
        burst = account.Burst([("esc", 0), ("meta_l", 2), ("compose", 4)], [(4, 6)], True)
        c = counts()
        errors, _ = account.account_keys(burst, 0, {1: 1, 125: 1}, [], [], c)
        self.assertEqual(errors, [])
        self.assertEqual((c["delivered"], c["stalled"], c["lost"]), (2, 1, 1))
        errors, _ = account.account_keys(burst, 0, {1: 1}, [], [], counts())
        self.assertTrue(any("meta_l" in e for e in errors), errors)
        errors, _ = account.account_keys(burst, 0, {1: 2, 125: 1}, [], [], counts())
        self.assertTrue(any("esc" in e for e in errors), errors)

    def test_arrows_report_their_rotation_when_enabled(self):
        burst = account.Burst([("down", 0), ("ctrl", 2), ("left", 4)], [], True)
        errors, rot = account.account_keys(burst, 0, {}, [180, 180, 180, 270, 270], [], counts())
        self.assertEqual((errors, rot), ([], 270))
        # A report lost, a rotation never typed, and a last report that is not the last arrow.
        for reports in ([180, 180, 180, 270], [180, 180, 90, 270, 270], [180, 180, 270, 270, 180]):
            errors, _ = account.account_keys(burst, 0, {}, reports, [], counts())
            self.assertNotEqual(errors, [], reports)
        off = account.Burst(burst.strokes, [], False)
        self.assertEqual(account.account_keys(off, 0, {}, [], [], counts()), ([], 270))
        self.assertNotEqual(account.account_keys(off, 0, {}, [270], [], counts())[0], [])

    def test_stuck_key_and_stalled_last_arrow(self):
        burst = account.Burst([("up", 0), ("right", 2)], [(2, 4)], True)
        errors, rot = account.account_keys(burst, 180, {}, [0, 0, 90], [], counts())
        self.assertEqual((errors, rot), ([], 90))
        errors, _ = account.account_keys(burst, 180, {}, [0, 0], ["1"], counts())
        self.assertTrue(any("stuck" in e for e in errors), errors)


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
