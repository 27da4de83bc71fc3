"""A node that says why it fails: its error message, or at least its HTTP
status, reaches the operator before the lines the miner always prints, and a
block it refuses in a JSON-RPC error is never counted."""

import re
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


# What no line may carry: C0 controls (ESC, BEL, ...) and DEL, C1 controls,
# the bidirectional marks, and U+FFFD, which is what a raw byte that is not
# UTF-8 (a lone 0x9b) reads as.
FORBIDDEN = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u061c\u200e\u200f\u202a-\u202e\u2066-\u2069\ufffd]")


class TerminalControls(HostileCase):
    """Issue 30's hostile strings from the node reach the terminal escaped,
    never raw: a target that clears the screen and sets the title is refused
    in words of its own, and error texts, a 503 body and a refusal reason
    show their controls as \\x1b, \\u009b, \\u202e ..."""

    def test_no_control_reaches_the_terminal(self):
        cases = [("escape-target", None, r"^Invalid GBT field: target is not 64 hex digits$"),
                 ("escape-error", None, r"^Node answered getblocktemplate with error -1: \\x1b\[2J\\x1b\]0;PWNED"
                                        r"\\x07\\u009b2J\\u202egnp\.exe\\u2066x$"),
                 ("escape-503", None, r'^Node answered HTTP 503 with a body that is not JSON \("\\x1b\]0;PWNED'
                                      r'\\x07 busy \\x9b2J \\u202e \\u009b"\)$'),
                 ("escape-reject", "submitblock", r"^Block rejected: \\x1b\[2J\\x1b\]0;PWNED\\x07")]
        for mode, method, expect in cases:
            with self.subTest(mode=mode):
                node = self.start_node(*NODE_ARGS)
                node.make_hostile(mode, method=method)
                miner = self.start_miner(mining_args(node.url))
                miner.wait_for(ACCEPTED_RE, timeout=60 * SLOWDOWN)
                self.stop_miner(miner)
                text = miner.text() + "\n" + miner.text("stderr")
                self.assertIsNone(FORBIDDEN.search(text), miner.transcript())
                self.assertTrue(any(re.search(expect, line) for line in miner.lines("stderr")), miner.transcript())
                self.assertEqual(node.stats()["invalid"], 0)


if __name__ == "__main__":
    unittest.main()
