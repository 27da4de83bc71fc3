"""How the miner ends, and what does not end it: a hang-up stops it as
cleanly as Ctrl-C, and a reader of its output that goes away does not stop
it at all."""

import os
import signal
import subprocess
import time
import unittest

from harness import (ACCEPTED_RE, MINER, SANITIZER_MARKS, SLOWDOWN, MinerTestCase, accepted_blocks,
                     mining_args)

EASY = ("--zero-bits", 8)


class SignalsAndOutput(MinerTestCase):
    def test_hangup_stops_like_an_interrupt(self):
        node = self.start_node(*EASY)
        miner = self.start_miner(mining_args(node.url, threads=1))
        miner.wait_for(ACCEPTED_RE, timeout=60 * SLOWDOWN)
        self.stop_miner(miner, signal.SIGHUP)
        out = miner.lines("stdout")
        self.assertIn("Shutting down...", out)
        self.assertEqual([line for line in out if line.startswith("Shutting down. ")],
                         ["Shutting down. Blocks found: %d" % len(accepted_blocks(miner))])

    def test_closed_output_is_dropped_and_mining_goes_on(self):
        node = self.start_node(*EASY)
        miner = subprocess.Popen([MINER] + [str(a) for a in mining_args(node.url, threads=1)],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        self.addCleanup(lambda: miner.poll() is None and miner.kill())
        # Read the first three lines, as `| head -3` would, then go away.
        for _ in range(3):
            self.assertTrue(miner.stdout.readline())
        miner.stdout.close()
        accepted_then = node.stats()["accepted"]
        # Blocks keep coming in after the reader has gone: every one of them
        # is announced on the closed output first.
        deadline = time.monotonic() + 60 * SLOWDOWN
        while node.stats()["accepted"] < accepted_then + 3:
            self.assertIsNone(miner.poll(), "the miner ended when its reader went away")
            self.assertLess(time.monotonic(), deadline, "no blocks after the reader went away")
            time.sleep(0.1)
        self.assertIsNone(miner.poll())
        miner.send_signal(signal.SIGINT)
        _, err = miner.communicate(timeout=20 * SLOWDOWN)
        self.assertEqual(miner.returncode, 0, err)
        text = err.decode(errors="replace")
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, text)


if __name__ == "__main__":
    unittest.main()
