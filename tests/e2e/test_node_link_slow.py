"""The node link (link_probe) through node trouble that takes its time: a
node that restarts for 20 s while a block is found, and a main node killed
while a backup runs. The development nodes check every block with hashlib;
their counts must equal what the link reported accepted."""

import time
import unittest

from harness import SLOWDOWN, DevNode
from link_runner import LinkProbe, link_probe_available

EASY = ("--zero-bits", 8, "--quiet")
RETRY_LINE = "Failed to get work, retrying in 5s..."


class SlowNodeLinkCase(unittest.TestCase):
    def setUp(self):
        if not link_probe_available():
            self.skipTest("link_probe is not built beside nonce_scan (TAMRIX_NONCE_SCAN)")

    def start_node(self, *args, port=0):
        node = DevNode(*(EASY + args), port=port).start()
        self.addCleanup(node.kill)
        return node

    def start_probe(self, url, **kw):
        probe = LinkProbe(url, **kw)
        self.addCleanup(probe.kill)
        return probe

    def accepted(self, probe):
        return [f.strip() for _, _, f in probe.events("answered") if f.split()[1] == "accepted"]


class NodeRestart(SlowNodeLinkCase):
    def test_a_block_found_during_a_20_s_restart_goes_in_after_it(self):
        node = self.start_node()
        probe = self.start_probe(node.url)
        probe.wait_for("work")
        node.call("devnode_restart", 20)
        down_at = time.monotonic()
        time.sleep(10)
        probe.send("solve")  # on the work in hand, whose tip the restart keeps
        answered = probe.wait_for("answered", timeout=60 * SLOWDOWN)[0]
        back_after = answered[0] - down_at
        probe.wait_for("work", r" 1$")  # the fetch at once after it went in
        probe.send("solve")
        probe.wait_for("answered", count=2, timeout=30 * SLOWDOWN)
        self.assertEqual(probe.finish(), 0)
        self.assertEqual(answered[2].split()[1], "accepted", probe.transcript())
        self.assertGreater(back_after, 20)
        tries = [line for line in probe.err_lines() if line.startswith("Block 1 got no answer")]
        self.assertGreaterEqual(len(tries), 3, probe.transcript())
        self.assertEqual([line.rsplit(" ", 2)[-2] for line in tries[:4]], ["1", "2", "4", "8"][:len(tries[:4])])
        self.assertIn(RETRY_LINE, probe.err_lines())
        self.assertEqual(node.stats()["accepted"], len(self.accepted(probe)))
        self.assertEqual(len(self.accepted(probe)), 2)
        print("\nblock found 10 s into a 20 s restart: accepted %.1f s after the restart began, after %d tries "
              "without an answer" % (back_after, len(tries)))


class BackupNode(SlowNodeLinkCase):
    """The miner's own 15 s before leaving a failing node; 6 s of good answers
    (probed every second) instead of 60 before coming back, to keep the test
    short. A block found on the backup is accepted there."""

    def test_the_main_node_killed_and_back(self):
        main = self.start_node("--seed", 1)
        backup = self.start_node("--seed", 2)
        backup_url = backup.url.replace("http://", "http://tamrix:tamrix@")
        probe = self.start_probe(main.url, backups=[backup_url],
                                 timing=("--return-after", 6, "--probe-every", 1))
        probe.wait_for("work", r"^0 ")
        port = main.port
        main.kill()
        killed_at = time.monotonic()
        switched = probe.wait_for("switched", "^1$", timeout=40)[0][0]
        first_backup_work = probe.wait_for("work", r"^1 ")[0][0]
        probe.send("solve")
        probe.wait_for("answered", timeout=30 * SLOWDOWN)

        main_again = self.start_node("--seed", 1, port=port)
        returned_at = time.monotonic()
        back = probe.wait_for("switched", "^0$", timeout=40)[0][0]
        probe.wait_for("work", r"^0 ", count=2)
        self.assertEqual(probe.finish(), 0)

        left_after = switched - killed_at
        print("\nmain node killed: mining on the backup after %.1f s; main node back: mining on it again after "
              "%.1f s" % (left_after, back - returned_at))
        # 15 s of failures counted from the first failed fetch (at most a
        # second after the kill), then one fetch from the backup.
        self.assertLess(left_after, 15 + 1 + 2 * SLOWDOWN)
        self.assertGreater(left_after, 14)
        self.assertLessEqual(first_backup_work - switched, 0.1)
        self.assertGreaterEqual(back - returned_at, 6)
        self.assertLess(back - returned_at, 6 + 3 * SLOWDOWN)
        err = probe.err_lines()
        left = [line for line in err if "has not answered" in line]
        came_back = [line for line in err if "has answered well" in line]
        self.assertEqual(len(left), 1, probe.transcript())
        # The backup's URL as the link asks it: its credentials taken out.
        self.assertRegex(left[0], r"^Node http://127\.0\.0\.1:%d has not answered for 1[5-9] s: mining on backup "
                                  r"node http://127\.0\.0\.1:%d$" % (port, backup.port))
        self.assertEqual(came_back, ["The main node http://127.0.0.1:%d has answered well for 6 s: mining on it "
                                     "again" % port])
        self.assertNotIn("tamrix:tamrix@", "\n".join(err))
        self.assertEqual(self.accepted(probe), ["1 accepted"])
        self.assertEqual(backup.stats()["accepted"], 1)
        requests = probe.requests()
        self.assertGreaterEqual(requests[("getblocktemplate", "probe", 0)], 5)
        self.assertGreaterEqual(requests[("submitblock", "submit", 0)], 1)  # tried on the dead main node too
        self.assertEqual(requests[("submitblock", "submit", 1)], 1)
        self.assertEqual(main_again.stats()["accepted"], 0)


if __name__ == "__main__":
    unittest.main()
