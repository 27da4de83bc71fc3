"""A block found in a header time the miner has moved past the node's
curtime goes in with that time, and the development node takes it: the
mining loop with the real node client and a simulated card (loop_probe,
built beside nonce_scan), against a node whose target every hash meets, so
that the block's validity rests on its header, transactions and time alone.
The node checks the block with hashlib; the test rebuilds the header the
block must have and compares the node's hash of it."""

import hashlib
import os
import struct
import subprocess
import unittest

from harness import NONCE_SCAN, DevNode
from planting import node_header

LOOP_PROBE = os.path.join(os.path.dirname(NONCE_SCAN), "loop_probe") if NONCE_SCAN else ""
FIRST_NONCE = 0x80000000  # where every second's search begins


class RolledHeaderTime(unittest.TestCase):
    def setUp(self):
        if not (LOOP_PROBE and os.access(LOOP_PROBE, os.X_OK)):
            self.skipTest("no loop_probe beside TAMRIX_NONCE_SCAN")

    def test_blocks_of_the_node_time_and_of_a_rolled_time_are_accepted(self):
        # Two batches a second: batch 0 is the node's curtime from the first
        # nonce, batch 3 the second half of the next second.
        for batch, seconds_ahead, nonce in ((0, 0, FIRST_NONCE), (2, 1, FIRST_NONCE), (3, 1, 0)):
            with self.subTest(batch=batch):
                node = DevNode("--zero-bits", 0, "--txs", 2, "--witness", "--quiet").start()
                self.addCleanup(node.kill)
                template, header = node_header(node)
                probe = subprocess.run([LOOP_PROBE, node.url, str(batch)], capture_output=True,
                                       text=True, timeout=60)
                self.assertEqual(probe.returncode, 0, probe.stderr)
                time = template["curtime"] + seconds_ahead
                self.assertIn("submitted %d %d accepted\n" % (time, nonce), probe.stderr)
                stats = node.stats()
                self.assertEqual((stats["accepted"], stats["invalid"]), (1, 0), stats["last_reject"])
                solved = header[:68] + struct.pack("<I", time) + header[72:76] + struct.pack("<I", nonce)
                digest = hashlib.sha3_512(solved).digest()[:32]
                self.assertEqual(stats["blocks"][0]["hash"], digest[::-1].hex())
                node.kill()


if __name__ == "__main__":
    unittest.main()
