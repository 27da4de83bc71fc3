"""The miner binary mining against the development node, which checks every
submitted block on its own with hashlib. Targets are easy (the instrumented
builds hash about ten times slower) and every wait is generous; nothing here
measures speed."""

import os
import re
import signal
import subprocess
import unittest

from harness import (ACCEPTED_RE, NEW_BLOCK_RE, REPO_ROOT, RETRY_LINE, SANITIZER_MARKS, SLOWDOWN,
                     STATUS_RE, MINER, MinerTestCase, accepted_blocks, free_port, mining_args)

EASY = ("--zero-bits", 8)  # a block about every 256 hashes
UNREACHABLE = ("--target", "0" * 63 + "1")
NO_GPU_SUPPORT = "Error: this build has no GPU support; mine with --cpu-only --cpu-threads N"


class MiningCase(MinerTestCase):
    def assert_shutdown(self, miner, blocks=None, signum=signal.SIGINT):
        """Stops the miner; it must exit 0 and count exactly `blocks`, by
        default as many as it announced ACCEPTED."""
        self.stop_miner(miner, signum)
        if blocks is None:
            blocks = len(accepted_blocks(miner))
        out = miner.lines("stdout")
        self.assertIn("Shutting down...", out)
        self.assertEqual([line for line in out if line.startswith("Shutting down. ")],
                         ["Shutting down. Blocks found: %d" % blocks])

    def assert_node_agrees(self, node, miner, forced_rejects=0):
        """Every ACCEPTED line is a block the node accepted, same height, same
        order, running total; nothing failed the node's own checks."""
        stats = node.stats()
        claimed = accepted_blocks(miner)
        self.assertEqual(stats["invalid"], 0, "blocks failed the node's checks: %s\n%s" % (
            stats["last_reject"], node.log()))
        self.assertEqual(stats["rejected"], forced_rejects)
        self.assertEqual([(b["height"], "CPU") for b in stats["blocks"]], [(h, d) for h, d, _ in claimed])
        self.assertEqual([total for _, _, total in claimed], list(range(1, len(claimed) + 1)))
        return stats


class CpuMining(MiningCase):
    def test_blocks_across_templates_are_all_accepted(self):
        # 0 to 3 transactions in turn, without and then with a witness
        # commitment; heights cross the 16/17 change of the height push.
        node = self.start_node(*EASY, "--txs", "0,1,2,3", "--witness", "alternate", "--height", 14)
        miner = self.start_miner(mining_args(node.url))
        miner.wait_for(ACCEPTED_RE, count=8, timeout=120 * SLOWDOWN)
        self.assert_shutdown(miner)

        stats = self.assert_node_agrees(node, miner)
        blocks = stats["blocks"]
        self.assertGreaterEqual(len(blocks), 8)
        self.assertEqual({(b["txs"], b["witness"]) for b in blocks[:8]},
                         {(t, w) for t in range(4) for w in (False, True)})
        target_start = "%016x" % ((2 ** 248 - 1) >> 192)
        announced = {(int(m.group(1)), int(m.group(2)), m.group(3)) for m in miner.matches(NEW_BLOCK_RE)}
        for block in blocks:
            self.assertIn((block["height"], block["txs"], target_start), announced)
        self.assertEqual(miner.lines("stderr"), [])

    def test_heights_whose_push_changes_length(self):
        for start in (0, 127, 255, 32767):
            with self.subTest(height=start):
                node = self.start_node(*EASY, "--txs", 1, "--height", start)
                miner = self.start_miner(mining_args(node.url))
                miner.wait_for(ACCEPTED_RE, count=2, timeout=60 * SLOWDOWN)
                self.assert_shutdown(miner)
                stats = self.assert_node_agrees(node, miner)
                self.assertEqual([b["height"] for b in stats["blocks"][:2]], [start, start + 1])
                node.kill()

    def test_rejected_block_is_not_counted_and_fresh_work_follows(self):
        node = self.start_node(*EASY, "--reject-next", 1, "--height", 40)
        miner = self.start_miner(mining_args(node.url))
        miner.wait_for(ACCEPTED_RE, timeout=60 * SLOWDOWN)
        self.assert_shutdown(miner)

        self.assertEqual(miner.lines("stderr"), ["Block rejected: high-hash"])
        self.assertEqual(accepted_blocks(miner)[0], (40, "CPU", 1))  # the chain did not move
        solutions = miner.matches(r"^\*\*\* CPU SOLUTION! Nonce: \d+ \*\*\*$")
        self.assertEqual(len(solutions), len(accepted_blocks(miner)) + 1)
        fetched_for_40 = [m for m in miner.matches(NEW_BLOCK_RE) if m.group(1) == "40"]
        self.assertGreaterEqual(len(fetched_for_40), 2)
        stats = self.assert_node_agrees(node, miner, forced_rejects=1)
        self.assertEqual(stats["forced_rejects"], 1)

    def test_second_signal_during_a_held_submission_gives_it_up(self):
        """A block found before a stop still goes in, but a second Ctrl-C
        while the node holds its answer ends the wait, and the miner still
        winds down in order (power controls included) with exit code 0."""
        node = self.start_node(*EASY)
        node.make_hostile("slow", method="submitblock", delay=120)
        miner = self.start_miner(mining_args(node.url, threads=1))
        miner.wait_for(r"^\*\*\* CPU SOLUTION! Nonce: \d+ \*\*\*$", timeout=60 * SLOWDOWN)
        miner.process.send_signal(signal.SIGINT)
        miner.wait_for(r"^Shutting down\.\.\.$", timeout=10 * SLOWDOWN)
        # Without the give-up the miner would wait out the transport's 30 s.
        self.assertEqual(miner.stop(signal.SIGINT, timeout=10 * SLOWDOWN), 0, miner.transcript())
        lines = miner.lines()
        self.assertIn("Leaving without the node's answer to the last block.", lines)
        self.assertEqual(lines[-1], "Shutting down. Blocks found: 0")
        # The node link says which block went unanswered.
        self.assertEqual(miner.lines("stderr"), ["Block 1 is lost: given up at the second stop signal, unanswered"])

    def test_node_that_comes_up_later(self):
        port = free_port()
        miner = self.start_miner(mining_args("http://127.0.0.1:%d" % port))
        miner.wait_for("^" + re.escape(RETRY_LINE) + "$", stream="stderr", timeout=30 * SLOWDOWN)
        err = miner.lines("stderr")
        self.assertRegex(err[0], r"^RPC call failed: \S")
        self.assertEqual(err[1], RETRY_LINE)
        self.assertEqual(miner.matches(NEW_BLOCK_RE), [])

        node = self.start_node(*EASY, port=port)
        miner.wait_for(ACCEPTED_RE, timeout=10 + 60 * SLOWDOWN)
        self.assert_shutdown(miner)
        self.assert_node_agrees(node, miner)

    def test_status_line_every_two_seconds_with_a_hard_target(self):
        node = self.start_node(*UNREACHABLE)
        miner = self.start_miner(mining_args(node.url))
        lines = miner.wait_for(STATUS_RE, count=3, timeout=60)
        for match in lines:
            rate, unit, label, blocks, temperature = match.groups()
            self.assertEqual((label, blocks, temperature), ("CPU", "0", None))
        arrivals = [t for t, text in miner.timed_lines() if STATUS_RE.match(text)]
        # Printed at least 2 s apart by the miner's clock; delivery may bunch
        # two lines together, so only the whole span is bounded, generously.
        self.assertGreater(arrivals[2] - arrivals[0], 2.0)
        self.assertGreater(float(lines[-1].group(1)), 0.0)
        self.assert_shutdown(miner, 0, signal.SIGTERM)
        self.assertNotIn("submitblock", node.stats()["calls"])
        self.assertEqual(miner.lines("stderr"), [])


class GpuWithoutGpuSupport(MiningCase):
    def test_the_node_is_never_asked(self):
        """Without --cpu-only a build without GPU support exits 1 with one
        line, before any request: no storm of launches and fetches."""
        node = self.start_node(*UNREACHABLE)
        miner = self.start_miner(mining_args(node.url, threads=1, cpu_only=False))
        self.assertEqual(miner.process.wait(timeout=30), 1)
        miner.drain()
        self.assertEqual(miner.lines("stderr"), [NO_GPU_SUPPORT])
        self.assertFalse(any(line.startswith("Connecting to") for line in miner.lines()))
        calls = node.stats()["calls"]
        calls.pop("getstats", None)
        self.assertEqual(calls, {})


class Demo(MinerTestCase):
    def test_readme_demo_reports_accepted_blocks(self):
        # The demo sizes its target from the binary's own benchmark, so an
        # instrumented build runs it too, only with an easier target.
        demo = subprocess.Popen(["bash", os.path.join(REPO_ROOT, "tools", "demo.sh"), MINER],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, start_new_session=True)
        try:
            out, err = demo.communicate(timeout=120)
        except subprocess.TimeoutExpired:
            os.killpg(demo.pid, signal.SIGKILL)  # the node and the miner too
            out, err = demo.communicate()
        run = subprocess.CompletedProcess(demo.args, demo.returncode, out, err)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        closing = run.stdout.strip().splitlines()[-1]
        match = re.search(r"accepted (\d+), rejected (\d+)\.$", closing)
        self.assertTrue(match, closing)
        accepted, rejected = int(match.group(1)), int(match.group(2))
        self.assertGreaterEqual(accepted, 1)
        self.assertEqual(rejected, 0)
        self.assertEqual(len(re.findall(r"^Block \d+ ACCEPTED \(CPU\)!", run.stdout, re.M)), accepted)
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, run.stdout + run.stderr)


if __name__ == "__main__":
    unittest.main()
