"""A node that misbehaves: for each kind of bad reply the miner reports an
error on stderr, keeps running, submits nothing the node's own checks
refuse, and mines normally once the node is well again. The reply that
outlasts the 30-second timeout is in test_hostile_node_slow."""

import re
import unittest

from harness import (ACCEPTED_RE, RETRY_LINE, SLOWDOWN, MinerTestCase, accepted_blocks,
                     failures_explained, mining_args)

# One transaction and a witness commitment, so that work built from a
# misread template cannot pass for the node's real one.
NODE_ARGS = ("--zero-bits", 8, "--txs", 1, "--witness")
LONGEST_ERROR_LINE = 300  # a hostile reply must not be echoed wholesale


class HostileCase(MinerTestCase):
    def survive(self, mode, method=None, count=1, expect=None, delay=None):
        """Runs the miner against a node whose next `count` replies to
        `method` are spoiled as `mode`, and checks how it came through."""
        node = self.start_node(*NODE_ARGS)
        node.make_hostile(mode, count=count, method=method, delay=delay)
        miner = self.start_miner(mining_args(node.url))
        wait = 5 * count + (delay or 0) + 60 * SLOWDOWN
        miner.wait_for(ACCEPTED_RE, timeout=wait)
        self.stop_miner(miner)

        stats = node.stats()
        err = miner.lines("stderr")
        self.assertEqual(stats["invalid"], 0, "the miner submitted a block the node refused (%s)\n%s" % (
            stats["last_reject"], miner.transcript()))
        self.assertEqual(err.count(RETRY_LINE), count, "work should have failed %d time(s)\n%s" % (
            count, miner.transcript()))
        self.assertTrue(failures_explained(err), "a failure without its own message\n" + miner.transcript())
        if expect:
            self.assertTrue(any(re.search(expect, line) for line in err),
                            "no stderr line matches %r\n%s" % (expect, miner.transcript()))
        self.assertLessEqual(max(len(line) for line in err), LONGEST_ERROR_LINE)
        self.assertEqual(stats["accepted"], len(accepted_blocks(miner)))
        node.kill()
        return err


class BrokenBodies(HostileCase):
    def test_truncated_json(self):
        self.survive("truncated", expect=r"^JSON parse error: ")

    def test_not_json(self):
        self.survive("not-json", expect=r"^JSON parse error: ")

    def test_invalid_utf8(self):
        self.survive("bad-utf8", expect=r"^JSON parse error: ")

    def test_deeply_nested_arrays(self):
        self.survive("deep-nesting", expect=r"^JSON parse error: ")

    def test_http_500_with_html(self):
        self.survive("http-500", expect=r"^Node answered HTTP 500 with a body that is not JSON$")

    def test_connection_closed_mid_reply(self):
        self.survive("close-mid-reply", expect=r"^RPC call failed: ")

    def test_address_reply_not_json(self):
        self.survive("not-json", method="validateaddress",
                     expect=r"^Could not get scriptPubKey for tamrixdev1qminer$")

    def test_several_bad_replies_in_a_row(self):
        self.survive("close-mid-reply", count=2, expect=r"^RPC call failed: ")


class OversizedReplies(HostileCase):
    def test_fifty_megabyte_reply(self):
        self.survive("huge")

    def test_long_script_pubkey(self):
        self.survive("long-script", expect=r"scriptPubKey")

    def test_long_witness_commitment(self):
        self.survive("long-commitment", expect=r"default_witness_commitment")

    def test_seventy_thousand_transactions(self):
        self.survive("many-txs", expect=r"transactions")


class WrongTypes(HostileCase):
    def test_members_of_the_wrong_type(self):
        for mode in ("height-string", "negative-height", "txs-number", "tx-entries", "value-string",
                     "short-target", "result-array"):
            with self.subTest(mode=mode):
                self.survive(mode)


class LostSubmission(HostileCase):
    def test_submit_reply_cut_off(self):
        # The node takes the block but the answer never arrives: the block is
        # sent again, and the node's "duplicate", or a template built on the
        # block, says it went in. It is counted once, like every other.
        node = self.start_node(*NODE_ARGS)
        node.make_hostile("close-mid-reply", method="submitblock")
        miner = self.start_miner(mining_args(node.url))
        miner.wait_for(ACCEPTED_RE, count=2, timeout=60 * SLOWDOWN)
        self.stop_miner(miner)
        stats = node.stats()
        err = miner.lines("stderr")
        self.assertEqual(stats["invalid"], 0)
        self.assertRegex(err[0], r"^Block (\d+) got no answer \(.+\); sending it again in 1 s$")
        height = int(err[0].split()[1])
        self.assertIn(err[1], ["Block %d was there already (duplicate): it went in" % height,
                               "Block %d is the node's tip: it went in" % height], miner.transcript())
        self.assertEqual(stats["accepted"], len(accepted_blocks(miner)))
        self.assertEqual(accepted_blocks(miner)[0][:3:2], (height, 1))
        self.assertEqual(stats["blocks"][0]["height"], height)


if __name__ == "__main__":
    unittest.main()
