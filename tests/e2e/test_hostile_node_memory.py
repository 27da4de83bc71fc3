"""Memory stays bounded whatever the node sends: replies of tiny JSON values
up to the 32 MiB cap are refused before parsing, and the largest template a
block can have is still taken, each within PEAK_RSS_LIMIT_MIB of peak
resident memory (VmHWM), on the address-sanitizer build too (with its
quarantine allowed for where the miner frees much)."""

import unittest

from harness import ACCEPTED_RE, NEW_BLOCK_RE, SANITIZER, SLOWDOWN, accepted_blocks, mining_args
from test_hostile_node import NODE_ARGS, HostileCase

PEAK_RSS_LIMIT_MIB = 256
# AddressSanitizer keeps freed blocks resident in its quarantine (256 MiB by
# default) and pads every allocation. A refused reply frees little, so the
# limit holds there as it is; the largest template frees its parse and its
# reply, which the quarantine then keeps, so that case is allowed the
# quarantine on top.
ASAN_QUARANTINE_MIB = 256


class BoundedMemory(HostileCase):
    """Replies up to the 32 MiB cap made of tiny JSON values are refused
    before they are parsed, and a real maximal template still fits, all
    within PEAK_RSS_LIMIT_MIB of resident memory."""

    def peak_after(self, *node_args, mode=None):
        """The miner's peak RSS once it has come through the node's first
        reply (spoiled as `mode`) and had a block accepted."""
        node = self.start_node(*node_args)
        if mode:
            node.make_hostile(mode)
        miner = self.start_miner(mining_args(node.url))
        miner.wait_for(ACCEPTED_RE, timeout=60 * SLOWDOWN)
        peak = miner.peak_rss_mib()
        self.stop_miner(miner)
        self.assertEqual(node.stats()["invalid"], 0)
        print("\n  peak RSS %.0f MiB (%s%s)" % (peak, mode or " ".join(map(str, node_args)),
                                               ", " + SANITIZER if SANITIZER else ""), end=" ")
        return miner, peak

    def test_many_small_values_are_refused(self):
        for mode in ("many-objects", "many-arrays", "many-zeros"):
            with self.subTest(mode=mode):
                miner, peak = self.peak_after(*NODE_ARGS, mode=mode)
                self.assertIn("JSON parse error: reply holds more than 1048576 JSON values",
                              miner.lines("stderr"), miner.transcript())
                self.assertLess(peak, PEAK_RSS_LIMIT_MIB)

    def test_maximal_template_is_accepted(self):
        # 65534 transactions of 75 bytes: a reply of about 21 MB.
        miner, peak = self.peak_after("--zero-bits", 8, "--txs", 65534, "--witness")
        self.assertEqual(miner.lines("stderr"), [])
        self.assertEqual(miner.matches(NEW_BLOCK_RE)[0].group(2), "65534")
        self.assertEqual(accepted_blocks(miner)[0][2], 1)
        self.assertLess(peak, PEAK_RSS_LIMIT_MIB + (ASAN_QUARANTINE_MIB if SANITIZER == "address" else 0))


if __name__ == "__main__":
    unittest.main()
