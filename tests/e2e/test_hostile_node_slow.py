"""A node that answers slowly: past the 30-second transfer timeout the call
fails and the miner tries again; within it the miner simply waits. Each case
takes over half a minute, hence the slow label."""

import unittest

from harness import ACCEPTED_RE, RETRY_LINE, SLOWDOWN, MinerTestCase, accepted_blocks, mining_args

NODE_ARGS = ("--zero-bits", 8, "--txs", 1, "--witness")


class SlowNode(MinerTestCase):
    def run_against_slow_reply(self, method, delay):
        node = self.start_node(*NODE_ARGS)
        node.make_hostile("slow", method=method, delay=delay)
        miner = self.start_miner(mining_args(node.url))
        miner.wait_for(ACCEPTED_RE, timeout=delay + 5 + 60 * SLOWDOWN)
        self.stop_miner(miner)
        stats = node.stats()
        self.assertEqual(stats["invalid"], 0)
        self.assertEqual(stats["accepted"], len(accepted_blocks(miner)))
        return miner.lines("stderr")

    def test_template_reply_past_the_timeout(self):
        err = self.run_against_slow_reply("getblocktemplate", 40)
        self.assertRegex(err[0], r"^RPC call failed: .*[Tt]ime")
        self.assertEqual(err[1:], [RETRY_LINE])

    def test_address_reply_past_the_timeout(self):
        err = self.run_against_slow_reply("validateaddress", 40)
        self.assertRegex(err[0], r"^RPC call failed: .*[Tt]ime")
        self.assertEqual(err[1:], ["Could not get scriptPubKey for tamrixdev1qminer", RETRY_LINE])

    def test_reply_within_the_timeout_is_waited_for(self):
        self.assertEqual(self.run_against_slow_reply("getblocktemplate", 20), [])


if __name__ == "__main__":
    unittest.main()
