"""A node that says why it fails: its error message, or at least its HTTP
status, reaches the operator before the lines the miner always prints, and a
block it refuses in a JSON-RPC error is never counted."""

import unittest

from harness import ACCEPTED_RE, RETRY_LINE, SLOWDOWN, accepted_blocks, mining_args
from test_hostile_node import LONGEST_ERROR_LINE, NODE_ARGS, HostileCase


class NodesOwnWords(HostileCase):
    """Why a call failed, as the node said it, before the lines the miner always prints."""

    def test_syncing_node(self):
        err = self.survive("syncing")
        at = err.index("Missing GBT fields")
        self.assertEqual(err[at - 1], "Node answered getblocktemplate with error -10: "
                                      "Node is downloading blocks and cannot make a template yet")

    def test_busy_node_with_plain_text(self):
        err = self.survive("busy-503")
        self.assertEqual(err[:2], ['Node answered HTTP 503 with a body that is not JSON ("Work queue depth exceeded")',
                                   "JSON parse error: '[' or '{' expected near 'Work'"])

    def test_wrong_password(self):
        node = self.start_node(*NODE_ARGS)
        miner = self.start_miner(mining_args(node.url, password="not-the-password"))
        miner.wait_for(RETRY_LINE, stream="stderr", count=2, timeout=15 * SLOWDOWN)
        self.stop_miner(miner)
        err = miner.lines("stderr")
        credentials = ("Node answered HTTP 401 Unauthorized: it refused the RPC user name and password; "
                       "check -u and -p against the node's RPC settings")
        self.assertEqual(err[:4], [credentials, RETRY_LINE, credentials, RETRY_LINE], miner.transcript())
        self.assertNotIn("not-the-password", miner.text("stderr") + miner.text())

    def test_empty_reply(self):
        err = self.survive("empty")
        self.assertEqual(err[:2], ["Node sent an empty reply to getblocktemplate", RETRY_LINE])

    def test_address_reply_empty(self):
        err = self.survive("empty", method="validateaddress")
        self.assertEqual(err[:3], ["Node sent an empty reply to validateaddress",
                                   "Could not get scriptPubKey for tamrixdev1qminer", RETRY_LINE])

    def test_long_address_is_cut(self):
        # A 100,000-character address used to come back as one stderr line
        # of 100,039 characters.
        node = self.start_node(*NODE_ARGS)
        address = "tamrixdev1q" + "x" * 100000
        miner = self.start_miner(mining_args(node.url, address=address))
        miner.wait_for(RETRY_LINE, stream="stderr", timeout=15 * SLOWDOWN)
        self.stop_miner(miner)
        err = miner.lines("stderr")
        self.assertEqual(err[:2], ["Could not get scriptPubKey for " + address[:200] + "...", RETRY_LINE])
        self.assertLessEqual(max(len(line) for line in err), LONGEST_ERROR_LINE)

    def test_block_the_node_cannot_decode(self):
        # HTTP 500 with a null result and an error: a refusal, never a block.
        node = self.start_node(*NODE_ARGS)
        node.make_hostile("decode-failed")
        miner = self.start_miner(mining_args(node.url))
        miner.wait_for(ACCEPTED_RE, timeout=60 * SLOWDOWN)
        self.stop_miner(miner)
        err = miner.lines("stderr")
        self.assertEqual(err, ["Block rejected: Block decode failed"], miner.transcript())
        self.assertEqual(len(miner.matches(r"^\*\*\* CPU SOLUTION! ")), len(accepted_blocks(miner)) + 1)
        self.assertEqual(accepted_blocks(miner)[0][2], 1)  # the refused block was not counted
        stats = node.stats()
        self.assertEqual((stats["invalid"], stats["accepted"]), (0, len(accepted_blocks(miner))))
        self.assertIn("Shutting down. Blocks found: %d" % len(accepted_blocks(miner)), miner.lines())


if __name__ == "__main__":
    unittest.main()
