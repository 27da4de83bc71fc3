"""How often the miner asks the development node in each state, as the node
counts the calls: an unchanged template, every block refused, a node that
fails for a while (the devices hash on meanwhile), and a call the node holds
when a stop comes. At most about three requests a second in any of them.
And how soon a new tip is searched: the longpoll watch hears it, and the
loop fetches at once rather than at its next second."""

import random
import signal
import time
import unittest

from harness import (ACCEPTED_RE, NEW_BLOCK_RE, RETRY_LINE, SANITIZER, SLOWDOWN, STATUS_RE,
                     MinerTestCase, mining_args)

EASY = ("--zero-bits", 8)
UNREACHABLE = ("--target", "0" * 63 + "1")
SCALE = {"kH/s": 1e3, "MH/s": 1e6, "GH/s": 1e9}


def calls_in(node, seconds):
    """The node's call counts after `seconds` more of mining, less those
    before."""
    before = dict(node.stats()["calls"])
    time.sleep(seconds)
    after = node.stats()["calls"]
    return {method: after.get(method, 0) - before.get(method, 0)
            for method in after if method != "getstats"}


class NodeRequests(MinerTestCase):
    def test_an_unchanged_template_is_fetched_about_once_a_second(self):
        node = self.start_node(*UNREACHABLE)
        miner = self.start_miner(mining_args(node.url, threads=1))
        miner.wait_for(STATUS_RE, timeout=30 * SLOWDOWN)
        calls = calls_in(node, 5)
        self.stop_miner(miner)
        self.assertLessEqual(calls["getblocktemplate"], 6)
        self.assertGreaterEqual(calls["getblocktemplate"], 4 // SLOWDOWN)
        # The reward script was asked for once, before the window.
        self.assertEqual(calls.get("validateaddress", 0), 0)
        self.assertEqual(node.stats()["calls"]["validateaddress"], 1)
        self.assertEqual(miner.lines("stderr"), [])

    def test_every_block_refused_is_one_submission_per_fetch(self):
        node = self.start_node(*EASY)
        node.make_hostile("reject", count=100000)
        miner = self.start_miner(mining_args(node.url, threads=2))
        miner.wait_for("^Block rejected: high-hash$", stream="stderr", timeout=30 * SLOWDOWN)
        calls = calls_in(node, 5)
        self.stop_miner(miner)
        self.assertLessEqual(sum(calls.values()), 5 * 3 + 2, calls)
        self.assertLessEqual(calls.get("submitblock", 0), calls["getblocktemplate"] + 1, calls)
        self.assertGreaterEqual(calls.get("submitblock", 0), 2, calls)
        self.assertEqual(miner.matches(ACCEPTED_RE), [])

    def test_devices_hash_on_while_the_node_fails(self):
        """One failed fetch means 5 s without fresh work, not 5 s without
        hashing: the status rate, an average since the start, holds."""
        node = self.start_node(*UNREACHABLE)
        miner = self.start_miner(mining_args(node.url, threads=1))
        before = miner.wait_for(STATUS_RE, count=2, timeout=30 * SLOWDOWN)[-1]
        node.make_hostile("busy-503", count=1)
        miner.wait_for("^" + RETRY_LINE + "$", stream="stderr", timeout=10 * SLOWDOWN)
        failed_at = [t for t, line in miner.timed_lines("stderr") if line == RETRY_LINE][0]
        time.sleep(5)
        self.stop_miner(miner)
        # Status lines go on during the 5 s wait, two of them at least.
        during = [(t, STATUS_RE.match(line)) for t, line in miner.timed_lines()
                  if t > failed_at and t < failed_at + 5 and STATUS_RE.match(line)]
        self.assertGreaterEqual(len(during), 2, miner.transcript())
        after = during[1][1]
        rate_before = float(before.group(1)) * SCALE[before.group(2)]
        rate_after = float(after.group(1)) * SCALE[after.group(2)]
        # Hashing that stopped for the wait would leave about half of it.
        self.assertGreater(rate_after, 0.75 * rate_before, miner.transcript())
        self.assertEqual(miner.lines("stderr")[-1], RETRY_LINE)
        self.assertEqual(len(miner.matches("^" + RETRY_LINE + "$", stream="stderr")), 1)

    def test_a_stop_gives_up_a_call_the_node_holds(self):
        node = self.start_node(*UNREACHABLE)
        miner = self.start_miner(mining_args(node.url, threads=1))
        miner.wait_for(STATUS_RE, timeout=30 * SLOWDOWN)
        node.make_hostile("slow", method="getblocktemplate", delay=60)
        time.sleep(1.5)  # the next fetch is held by now
        signalled = time.monotonic()
        self.stop_miner(miner, signal.SIGINT)
        # The client looks whether to give up every 50 ms while it waits; the
        # bound leaves room for the process's own exit.
        self.assertLess(time.monotonic() - signalled, 2.0 * SLOWDOWN)
        self.assertEqual(miner.lines()[-1], "Shutting down. Blocks found: 0")
        self.assertNotIn(RETRY_LINE, miner.lines("stderr"))

    def test_a_new_tip_is_fetched_at_once(self):
        node = self.start_node(*UNREACHABLE)
        miner = self.start_miner(mining_args(node.url, threads=1))
        miner.wait_for(NEW_BLOCK_RE, timeout=30 * SLOWDOWN)
        rng = random.Random(24)
        # Fetched on the clock alone, each would come 0.5 s late on average;
        # all five within 0.3 s would be chance in one run of 400.
        limit = 1.0 if SANITIZER else 0.3
        for _ in range(5):
            time.sleep(rng.uniform(0.3, 1.3))
            changed = time.monotonic()
            height = node.call("devnode_newtip")["height"] + 1
            found = miner.wait_for(r"^New block %d, " % height, timeout=10 * SLOWDOWN)
            arrived = [t for t, line in miner.timed_lines() if line.startswith(found[0].group(0))][0]
            self.assertLess(arrived - changed, limit, miner.transcript())
        self.stop_miner(miner)
        self.assertEqual(miner.lines("stderr"), [])


if __name__ == "__main__":
    unittest.main()
