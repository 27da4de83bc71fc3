"""The miner's longpoll watch against the development node, through
gbt_probe: each tip another miner makes is heard once, on a request the
node held; a node without longpoll is told once, after a second chance;
failures are retried after 5 s, then 10, 20 ..., counted by the node itself. The latencies and rates are
printed for the record, never asserted."""

import os
import random
import time
import unittest

from harness import GBT_PROBE, DevNode, LongpollProbe, median, tip_fingerprint

TIPS = 6
WATCH_CALLS = "getblocktemplate (longpoll watch)"  # how the node counts the watch's calls
HOLD_ARGS = ("--longpoll-hold", 30)


def wait_until(condition, timeout=10, what="condition"):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


def held(node):
    return node.stats()["longpoll"]["held"]


class LongpollCase(unittest.TestCase):
    def setUp(self):
        if not GBT_PROBE or not os.access(GBT_PROBE, os.X_OK):
            self.skipTest("gbt_probe is not built beside nonce_scan (TAMRIX_NONCE_SCAN)")

    def start_node(self, *args):
        node = DevNode(*args).start()
        self.addCleanup(node.kill)
        return node

    def start_probe(self, node, tips, seconds):
        probe = LongpollProbe(node.url, tips, seconds)
        self.addCleanup(probe.kill)
        return probe


class NewTips(LongpollCase):
    def test_each_new_tip_is_heard_once_from_a_held_request(self):
        node = self.start_node(*HOLD_ARGS)
        probe = self.start_probe(node, TIPS, 120)
        first = node.call("getblocktemplate", {"rules": ["segwit"]})
        self.assertEqual(probe.wait_line("watching")[1], "%016x" % tip_fingerprint(first["previousblockhash"]))
        rng = random.Random()
        latencies = []
        for n in range(1, TIPS + 1):
            wait_until(lambda: held(node) == 1, what="a held longpoll")
            time.sleep(rng.uniform(0.1, 0.6))
            before = time.monotonic()
            moved = node.call("devnode_newtip")
            _, count, fingerprint, arrived = probe.wait_line("tip ", count=n)
            self.assertEqual((int(count), fingerprint), (n, "%016x" % tip_fingerprint(moved["hash"])))
            latencies.append(float(arrived) - before)
        code, out, err = probe.finish()
        self.assertEqual((code, err), (0, []))
        self.assertEqual(len([line for line in out if line.startswith("tip ")]), TIPS, out)
        stats = node.stats()
        # The watch's plain template, one held request per tip, and the one
        # the stop abandoned: nothing else. They are counted apart from the
        # test's own.
        self.assertEqual(stats["calls"][WATCH_CALLS], 1 + TIPS + 1)
        self.assertEqual(stats["calls"]["getblocktemplate"], 1)
        self.assertEqual(stats["longpoll"]["new_tip"], TIPS)
        stop_ms = float(out[-1].split()[1])
        print("\nlongpoll against the devnode: change to news median %.1f ms, max %.1f ms over %d tips; "
              "stop with a request held %.1f ms" % (1e3 * median(latencies), 1e3 * max(latencies), TIPS, stop_ms))

    def test_a_node_without_longpoll_is_told_once(self):
        node = self.start_node("--no-longpoll")
        probe = self.start_probe(node, 1, 30)
        code, out, err = probe.finish()
        self.assertEqual(code, 0)
        self.assertIn("unsupported", out)
        self.assertEqual(err, ['Node offers no usable longpoll (its template carries no "longpollid"): '
                               'new blocks are noticed at the regular refresh only'])
        # One template without a longpollid may be the node's passing
        # trouble: the watch asks once more, 5 s later, before it gives up.
        self.assertEqual(node.stats()["calls"], {WATCH_CALLS: 2, "getstats": 1})


class Failures(LongpollCase):
    SECONDS = 17

    def test_failures_back_off_from_five_seconds(self):
        # One node fails every template request; the other serves the
        # watch's first template, then fails its held requests.
        plain_fails = self.start_node(*HOLD_ARGS)
        plain_fails.make_hostile("http-500", count=100, watch=True)
        held_fails = self.start_node(*HOLD_ARGS)
        probes = [self.start_probe(node, 100, self.SECONDS) for node in (plain_fails, held_fails)]
        probes[1].wait_line("watching")
        wait_until(lambda: held(held_fails) == 1, what="a held longpoll")
        held_fails.make_hostile("http-500", count=100, watch=True)
        held_fails.call("devnode_newtip")  # answers the request held before the failures began
        results = [probe.finish(timeout=self.SECONDS + 10) for probe in probes]

        plain_times = plain_fails.stats()["call_times"][WATCH_CALLS]
        held_times = held_fails.stats()["call_times"][WATCH_CALLS][2:]  # after plain, held
        for times in (plain_times, held_times):
            gaps = [later - earlier for earlier, later in zip(times, times[1:])]
            # 5 s after the first failure, doubling after each further one.
            self.assertTrue(all(gap >= least - 0.1 for gap, least in zip(gaps, (5, 10, 20))), times)
        self.assertEqual(len(plain_times), 3, plain_times)  # at 0, 5 and 15 s
        self.assertGreaterEqual(len(held_times), 2, held_times)
        self.assertEqual(results[0][2], [])  # the main connection reports the node's trouble
        self.assertEqual(results[1][2], ["Longpoll request failed (reply is not JSON, HTTP 500); asking again "
                                         "in 5 s, and further longpoll failures are not shown"])
        print("\nlongpoll after failures: %.3f requests/s while every template fails, %.3f/s while the held "
              "requests fail (the inverse of the mean gap between requests)" % (rate(plain_times), rate(held_times)))


def rate(times):
    return (len(times) - 1) / (times[-1] - times[0])


if __name__ == "__main__":
    unittest.main()
