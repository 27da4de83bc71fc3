"""The RPC password on the command line: other users reading the running
miner's command line (ps, /proc/PID/cmdline) see only x characters, while the
node still receives the password exactly as given."""

import unittest

from harness import (ACCEPTED_RE, NEW_BLOCK_RE, RETRY_LINE, SLOWDOWN, DevNode, MinerTestCase,
                     mining_args)

# A colon and a space: basic authentication splits at the first colon only,
# so the node sees the whole password or rejects the request.
PASSWORD = "pa:ss word-42"
EASY = ("--zero-bits", 8)
SECRET_IN_URL = "open:sesame"


def command_line(pid):
    """The arguments the kernel reports for the process, program included."""
    with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
        return cmdline.read().split(b"\0")[:-1]


class PasswordMaskingTest(MinerTestCase):
    def start_node_with_password(self, password):
        node = DevNode(*EASY, password=password).start()
        self.addCleanup(node.kill)
        return node

    def test_running_miner_shows_xs_and_mines_with_the_real_password(self):
        node = self.start_node_with_password(PASSWORD)
        args = mining_args(node.url, threads=1, password=PASSWORD)
        miner = self.start_miner(args)
        # An accepted block means getblocktemplate and submitblock both
        # carried the right credentials; the devnode answers 401 otherwise.
        miner.wait_for(ACCEPTED_RE, timeout=60 * SLOWDOWN)
        self.assertGreaterEqual(node.stats()["accepted"], 1)

        shown = command_line(miner.process.pid)
        expected = [arg.encode() for arg in [miner.process.args[0]] + miner.args]
        password_at = expected.index(PASSWORD.encode())
        expected[password_at] = b"x" * len(PASSWORD)
        self.assertEqual(shown, expected)
        self.assertNotIn(b"word", b"\0".join(shown))
        self.stop_miner(miner)

    def test_password_inside_the_url_is_never_shown(self):
        node = self.start_node_with_password(PASSWORD)
        url = node.url.replace("http://", "http://%s:%s@" % ("tamrix", SECRET_IN_URL))
        args = mining_args(url, threads=1, password=PASSWORD)
        miner = self.start_miner(args)
        miner.wait_for(ACCEPTED_RE, timeout=60 * SLOWDOWN)
        shown_url = url.replace(SECRET_IN_URL, "x" * len(SECRET_IN_URL))
        self.assertIn("Connecting to %s..." % shown_url, miner.lines())
        shown = command_line(miner.process.pid)
        self.assertIn(shown_url.encode(), shown)
        self.assertNotIn(b"sesame", b"\0".join(shown))
        self.stop_miner(miner)
        self.assertNotIn("sesame", miner.text("stdout") + miner.text("stderr"))

    def test_a_wrong_password_is_refused(self):
        # The other half of the check above: the node in this setup does turn
        # away a password that differs in its last character.
        node = self.start_node_with_password(PASSWORD)
        miner = self.start_miner(mining_args(node.url, threads=1, password=PASSWORD[:-1] + "3"))
        miner.wait_for("^%s$" % RETRY_LINE.replace(".", r"\."), stream="stderr",
                       timeout=30 * SLOWDOWN)
        self.assertEqual(miner.matches(NEW_BLOCK_RE), [])
        self.assertEqual(command_line(miner.process.pid)[-2], b"x" * len(PASSWORD))
        self.stop_miner(miner)


if __name__ == "__main__":
    unittest.main()
