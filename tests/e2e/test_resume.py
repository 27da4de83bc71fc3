"""Solutions planted at a known distance into the miner's CPU search.

The miner fetches a template about once a second. While the header (but for
its time) and the target stay the same, its workers should carry on from
where they were rather than start again at 0x80000000; otherwise a solution more
than one unit's hashing away is never reached, however long the miner runs.
planting.py gives a development node whose only early solution lies a chosen
number of hashes past 0x80000000; these tests check that the miner finds
exactly that nonce, and finds it when it lies several units away.
"""

import hashlib
import random
import struct
import subprocess
import time
import unittest

import planting
from harness import ACCEPTED_RE, NEW_BLOCK_RE, SANITIZER, SLOWDOWN, MinerTestCase, mining_args
from planting import CPU_CHUNK, CPU_START_NONCE, SOLUTION_RE, pow_value, scan, scan_available

# Planted up to twice this far: well inside a one-second unit even when the
# machine is busier than it was during the calibration.
NEAR_SECONDS = 0.1
FAR_SECONDS = 2.0   # twice what one unit of one thread covers
# Two threads cover twice the nonces per unit; the planted nonce must still
# lie beyond one unit of both, with room for a busy machine's slow calibration.
FAR_SECONDS_TWO_THREADS = 3.5
MIN_UNITS_BEFORE_FAR = 2  # at least one refresh came before the solution


def first_by_hashlib(header, start, count, target, stride=1):
    """What nonce_scan must answer, worked out one nonce at a time."""
    for index in range(count):
        nonce = (start + index * stride) & 0xFFFFFFFF
        if pow_value(header, nonce) <= target:
            return index, nonce
    return None


class NonceScanAgreesWithHashlib(unittest.TestCase):
    def setUp(self):
        if not scan_available():
            self.skipTest("TAMRIX_NONCE_SCAN does not name a built nonce_scan binary")
        self.rng = random.Random(20240611)

    def test_first_hit_matches_hashlib(self):
        target = (1 << 250) - 1  # one hash in 64
        # Ranges that start at 0, at the miner's start, and that wrap past 0xFFFFFFFF.
        for start in (0, CPU_START_NONCE, 0xFFFFFFF0, 0xFFFFFFFF):
            with self.subTest(start=start):
                header = self.rng.randbytes(80)
                expected = first_by_hashlib(header, start, 1000, target)
                self.assertIsNotNone(expected)
                self.assertEqual(scan(header, start, 1000, target), expected)

    def test_stride_walks_one_workers_nonces(self):
        target = (1 << 250) - 1
        for start, stride in ((CPU_START_NONCE + 1, 2), (0xFFFFFF00, 3), (5, 0xFFFFFFFF)):
            with self.subTest(start=start, stride=stride):
                header = self.rng.randbytes(80)
                expected = first_by_hashlib(header, start, 1000, target, stride)
                self.assertIsNotNone(expected)
                self.assertEqual(scan(header, start, 1000, target, stride), expected)

    def test_count_ends_the_range_exactly(self):
        # The kernel hashes several nonces per call; a hit just past the
        # count must not be reported, one at the last counted nonce must.
        header = self.rng.randbytes(80)
        target = (1 << 251) - 1
        index, nonce = first_by_hashlib(header, 7, 1000, target)
        self.assertIsNone(scan(header, 7, index, target))
        self.assertEqual(scan(header, 7, index + 1, target), (index, nonce))

    def test_target_equal_to_the_hash_is_met(self):
        header = self.rng.randbytes(80)
        index, nonce = first_by_hashlib(header, 100, 1000, (1 << 250) - 1)
        exact = pow_value(header, nonce)
        # Every earlier hash lies above the looser target, so above this one too.
        self.assertEqual(scan(header, 100, 1000, exact), (index, nonce))
        later = scan(header, 100, 1000, exact - 1)
        self.assertEqual(later, first_by_hashlib(header, 100, 1000, exact - 1))
        self.assertTrue(later is None or later[0] > index)

    def test_unmet_target_answers_none(self):
        self.assertIsNone(scan(self.rng.randbytes(80), 0, 5000, 0))

    def test_malformed_arguments_are_refused(self):
        good = ["00" * 80, "0", "10", "f" * 64, "1"]
        for position, bad in ((0, "00" * 79), (0, "zz" * 80), (1, "4294967296"), (1, "-1"),
                              (2, "x"), (3, "f" * 63), (4, "0"), (4, "4294967296")):
            arguments = list(good)
            arguments[position] = bad
            with self.subTest(arguments=position, value=bad):
                reply = subprocess.run([planting.NONCE_SCAN] + arguments, capture_output=True, text=True)
                self.assertEqual(reply.returncode, 2)
                self.assertEqual(reply.stdout, "")
                self.assertIn("nonce_scan: ", reply.stderr)


class PlantedCase(MinerTestCase):
    rate = None  # one thread's hashes per second, measured once per run

    def setUp(self):
        super().setUp()
        if not scan_available():
            self.skipTest("TAMRIX_NONCE_SCAN does not name a built nonce_scan binary")
        if PlantedCase.rate is None:
            # The higher of two readings: a reading taken while the machine
            # is busy would place the far solutions within a unit's reach.
            PlantedCase.rate = max(planting.single_thread_rate() for _ in range(2))

    def plant_seconds(self, seconds, node_args=planting.DEFAULT_NODE_ARGS):
        planted = planting.plant(int(seconds * self.rate), node_args)
        self.addCleanup(planted.node.kill)
        return planted

    def assert_block_accepted(self, planted, miner, nonce):
        """The node's first block is the planted header with this nonce."""
        miner.wait_for(ACCEPTED_RE, timeout=30 * SLOWDOWN)
        self.stop_miner(miner)
        stats = planted.node.stats()
        self.assertEqual(stats["invalid"], 0, stats["last_reject"])
        block_hash = hashlib.sha3_512(planted.header[:76] + struct.pack("<I", nonce)).digest()[:32]
        self.assertEqual(stats["blocks"][0]["hash"], block_hash[::-1].hex())


class PlantedSolution(PlantedCase):
    def test_planted_nonce_is_the_one_found(self):
        # Two layouts: transactions with a witness commitment at a one-byte
        # height push, and an odd merkle level at a two-byte push.
        for node_args in (("--txs", 2, "--witness"), ("--txs", 3, "--height", 300)):
            with self.subTest(node=node_args):
                planted = self.plant_seconds(NEAR_SECONDS, node_args)
                miner = self.start_miner(mining_args(planted.node.url, threads=1))
                found = miner.wait_for(SOLUTION_RE, timeout=10 * SLOWDOWN)[0]
                self.assertEqual(int(found.group(1)), planted.nonce, planted.describe())
                self.assert_block_accepted(planted, miner, planted.nonce)
                planted.node.kill()


@unittest.skipIf(SANITIZER, "instrumented builds hash about ten times slower; the far plant "
                            "would take minutes")
class SearchResumesAcrossUnits(PlantedCase):
    def assert_far_solution_found(self, threads, seconds):
        planted = self.plant_seconds(seconds)
        planted_seconds = planted.index / self.rate
        limit = 8 + 3 * planted_seconds / threads
        miner = self.start_miner(mining_args(planted.node.url, threads=threads))
        deadline = time.monotonic() + limit
        while not miner.matches(SOLUTION_RE) and miner.process.poll() is None:
            if time.monotonic() > deadline:
                self.fail("the planted nonce %d lies %d hashes (%.2f s of one thread) past 0x%08x; "
                          "the miner on %d thread(s) did not find it within %.0f s over %d work units "
                          "of the same header and target. A search that starts again at 0x%08x "
                          "with every unit never gets that far." % (
                              planted.nonce, planted.index, planted_seconds, CPU_START_NONCE, threads,
                              limit, len(miner.matches(NEW_BLOCK_RE)), CPU_START_NONCE))
            time.sleep(0.02)

        lines = miner.lines()
        solutions = [k for k, line in enumerate(lines) if SOLUTION_RE.match(line)]
        if not solutions:
            self.fail("the miner exited before it found the planted nonce\n" + miner.transcript())
        first_solution = solutions[0]
        found = int(SOLUTION_RE.match(lines[first_solution]).group(1))
        if found != planted.nonce:
            self.assert_first_of_its_chunk(planted, found)
        units_before = sum(1 for line in lines[:first_solution] if NEW_BLOCK_RE.match(line))
        self.assertGreaterEqual(units_before, MIN_UNITS_BEFORE_FAR, "\n".join(lines))
        self.assert_block_accepted(planted, miner, found)

    def assert_first_of_its_chunk(self, planted, found):
        """Workers run unevenly on a busy machine, so another worker may reach
        a later solution before the one that holds the planted nonce gets to
        it. Each worker claims chunks of CPU_CHUNK nonces and walks them in
        order, so that is right only if the solution is the first of its
        chunk; the planted chunk's first is the planted nonce."""
        offset = (found - CPU_START_NONCE) & 0xFFFFFFFF
        chunk_start = offset - offset % CPU_CHUNK
        first = scan(planted.header, CPU_START_NONCE + chunk_start, offset - chunk_start + 1,
                     planted.target)
        if first != (offset - chunk_start, found):
            # A later nonce that meets the planted header's target means an
            # earlier one was passed over: skipped, or found and then dropped
            # when its unit ended. One that does not meet it means the miner
            # hashed some other header.
            self.fail("found nonce %d (%d past 0x%08x), which %s the planted header's target; the "
                      "first solution of its chunk is %s; planted %s" % (
                          found, offset, CPU_START_NONCE,
                          "meets" if pow_value(planted.header, found) <= planted.target else "does not meet",
                          "nonce %d" % first[1] if first else "none", planted.describe()))

    def test_solution_beyond_one_unit_is_found_on_one_thread(self):
        self.assert_far_solution_found(1, FAR_SECONDS)

    def test_solution_beyond_one_unit_is_found_on_two_threads(self):
        self.assert_far_solution_found(2, FAR_SECONDS_TWO_THREADS)


if __name__ == "__main__":
    unittest.main()
