"""A longpoll the node holds for longer than an ordinary call may take (30 s)
is still waited for: the node answers it at its hold limit with the same tip,
the watch asks again, and the next tip is heard as usual."""

import unittest

from harness import tip_fingerprint
from test_longpoll import WATCH_CALLS, LongpollCase, held, wait_until

HOLD = 40  # seconds, past the 30 s limit of an ordinary call


class LongHold(LongpollCase):
    def test_a_hold_past_thirty_seconds_is_no_failure(self):
        node = self.start_node("--longpoll-hold", HOLD)
        probe = self.start_probe(node, 1, HOLD + 30)
        probe.wait_line("watching")
        wait_until(lambda: node.stats()["longpoll"]["hold_limit"] == 1, timeout=HOLD + 10,
                   what="the node's hold limit")
        wait_until(lambda: held(node) == 1, what="the next held longpoll")
        moved = node.call("devnode_newtip")
        self.assertEqual(probe.wait_line("tip ")[2], "%016x" % tip_fingerprint(moved["hash"]))
        code, out, err = probe.finish()
        self.assertEqual((code, err), (0, []))
        stats = node.stats()
        self.assertEqual(stats["calls"][WATCH_CALLS], 4)  # plain, held to the limit, held, after the tip
        times = stats["call_times"][WATCH_CALLS]
        self.assertGreaterEqual(times[2] - times[1], HOLD - 1)


if __name__ == "__main__":
    unittest.main()
