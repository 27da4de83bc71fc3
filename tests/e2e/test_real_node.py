"""Against a real full node of the same JSON-RPC family that no one here
wrote: litecoind in regtest, started by the test on a free loopback port
with a temporary data directory and always stopped. Its proof of work is
not this coin's, so it can never accept a block from the miner; it is a
real peer for everything on the wire but that. Each expected message is
taken from the node itself, by asking it directly, not written here."""

import base64
import http.client
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

from harness import RETRY_LINE, SLOWDOWN, MinerTestCase, free_port, mining_args

LITECOIND = shutil.which("litecoind")
NONCE_SCAN = os.environ.get("TAMRIX_NONCE_SCAN", "")
GBT_PROBE = os.path.join(os.path.dirname(NONCE_SCAN), "gbt_probe") if NONCE_SCAN else ""
USER, PASSWORD = "tamrix", "regtest-password"
ADDRESS = "rltc1qw508d6qejxtdg4y5r3zarvary0c5xw7kygt080"  # any regtest address


class RealNode:
    def __init__(self):
        self.datadir = tempfile.mkdtemp(prefix="tamrix-litecoind-")
        self.port = free_port()
        self.process = subprocess.Popen(
            [LITECOIND, "-regtest", "-datadir=" + self.datadir, "-rpcport=%d" % self.port,
             "-port=%d" % free_port(), "-rpcbind=127.0.0.1", "-rpcallowip=127.0.0.1", "-listen=0",
             "-rpcuser=" + USER, "-rpcpassword=" + PASSWORD, "-server", "-disablewallet",
             "-printtoconsole=0"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.port

    def post(self, method, params, password=PASSWORD):
        """(HTTP status, body) of one JSON-RPC 1.0 call."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            token = base64.b64encode(("%s:%s" % (USER, password)).encode()).decode()
            connection.request("POST", "/", json.dumps({"jsonrpc": "1.0", "id": 1, "method": method,
                                                        "params": params}),
                               {"Content-Type": "application/json", "Authorization": "Basic " + token})
            reply = connection.getresponse()
            return reply.status, reply.read()
        finally:
            connection.close()

    def wait_ready(self, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError("litecoind exited: %s" % self.process.stderr.read().decode())
            try:
                if self.post("getblockchaininfo", [])[0] == 200:
                    return
            except OSError:
                pass  # not listening yet
            time.sleep(0.2)
        raise AssertionError("litecoind did not answer within %d s" % timeout)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=60)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stderr.close()
        shutil.rmtree(self.datadir, ignore_errors=True)


@unittest.skipUnless(LITECOIND, "litecoind is not installed: the real-node tests are skipped")
class RealNodeCase(MinerTestCase):
    @classmethod
    def setUpClass(cls):
        cls.node = RealNode()
        try:
            cls.node.wait_ready()
        except BaseException:
            cls.node.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.node.stop()

    def node_error(self, method, params):
        """(code, message) of the node's own error for this call."""
        status, body = self.node.post(method, params)
        error = json.loads(body)["error"]
        self.assertNotEqual(status, 200)
        return error["code"], error["message"]

    def test_wrong_password_names_the_credentials(self):
        self.assertEqual(self.node.post("getblockchaininfo", [], password="wrong"), (401, b""))
        miner = self.start_miner(mining_args(self.node.url, password="wrong"))
        miner.wait_for(RETRY_LINE, stream="stderr", timeout=15 * SLOWDOWN)
        self.stop_miner(miner)
        self.assertEqual(miner.lines("stderr")[:2], [
            "Node answered HTTP 401 Unauthorized: it refused the RPC user name and password; "
            "check -u and -p against the node's RPC settings", RETRY_LINE])

    def test_template_error_in_the_nodes_own_words(self):
        code, message = self.node_error("getblocktemplate", [{"rules": ["segwit"]}])
        miner = self.start_miner(mining_args(self.node.url, password=PASSWORD, address=ADDRESS))
        miner.wait_for(RETRY_LINE, stream="stderr", timeout=15 * SLOWDOWN)
        self.stop_miner(miner)
        self.assertEqual(miner.lines("stderr")[:3], [
            "Node answered getblocktemplate with error %d: %s" % (code, message),
            "Missing GBT fields", RETRY_LINE])

    def test_undecodable_block_is_a_rejection(self):
        if not os.access(GBT_PROBE, os.X_OK):
            self.skipTest("gbt_probe is not built beside nonce_scan")
        truncated = "01"  # a transaction count and no transaction
        code, message = self.node_error("submitblock", ["00" * 80 + truncated])
        self.assertEqual(code, -22)
        probe = subprocess.run([GBT_PROBE, "submit", self.node.url, USER, PASSWORD, truncated],
                               capture_output=True, text=True, timeout=60)
        self.assertEqual((probe.returncode, probe.stdout), (0, "rejected\n"))
        self.assertEqual(probe.stderr, "Block rejected: %s\n" % message)


if __name__ == "__main__":
    unittest.main()
