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
import threading
import time
import unittest
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from harness import (GBT_PROBE, NEW_BLOCK_RE, RETRY_LINE, SANITIZER, SLOWDOWN, LongpollProbe, Miner,
                     MinerTestCase, free_port, median, mining_args, tip_fingerprint)
from link_runner import LinkProbe, link_probe_available

LITECOIND = shutil.which("litecoind")
USER, PASSWORD = "tamrix", "regtest-password"
ADDRESS = "rltc1qw508d6qejxtdg4y5r3zarvary0c5xw7kygt080"  # any regtest address


class RealNode:
    def __init__(self, listen=False, port=None):
        self.datadir = tempfile.mkdtemp(prefix="tamrix-litecoind-")
        self.port = port or free_port()
        self.p2p_port = free_port()
        self.process = subprocess.Popen(
            [LITECOIND, "-regtest", "-datadir=" + self.datadir, "-rpcport=%d" % self.port,
             "-port=%d" % self.p2p_port, "-rpcbind=127.0.0.1", "-rpcallowip=127.0.0.1",
             "-bind=127.0.0.1" if listen else "-listen=0",
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

    def call(self, method, *params):
        """The "result" of a call that must succeed."""
        status, body = self.post(method, list(params))
        if status != 200:
            raise AssertionError("%s: HTTP %d %r" % (method, status, body[:300]))
        return json.loads(body)["result"]

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


class MwebRulesProxy(ThreadingHTTPServer):
    """litecoind serves a template only to a client that names its "mweb"
    rule as well as "segwit", which a miner of this coin does not send. This
    loopback proxy adds the rule to every getblocktemplate on its way to the
    node and passes everything else through unchanged, held longpolls
    included (each request has a thread of its own)."""

    daemon_threads = True

    def __init__(self, node):
        self.node = node
        super().__init__(("127.0.0.1", 0), MwebRulesHandler)
        threading.Thread(target=self.serve_forever, daemon=True).start()

    @property
    def url(self):
        return "http://127.0.0.1:%d/" % self.server_address[1]


class MwebRulesHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # headers and body go out as two writes; no 40 ms wait between

    def log_message(self, format, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        request = json.loads(body)
        if request.get("method") == "getblocktemplate":
            request["params"][0]["rules"].append("mweb")
            body = json.dumps(request).encode()
        upstream = http.client.HTTPConnection("127.0.0.1", self.server.node.port, timeout=600)
        try:
            upstream.request("POST", "/", body, {"Content-Type": "application/json",
                                                 "Authorization": self.headers.get("Authorization", "")})
            reply = upstream.getresponse()
            status, answer = reply.status, reply.read()
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)
        except OSError:
            self.close_connection = True  # the client gave up, or the node stopped, while the call was held
        finally:
            upstream.close()


# The compressed public key of secp256k1's generator: any valid key gives a
# regtest address the node will mine to.
GENERATOR_PUBKEY = "0279be667ef9dcbbac55a06295ce870b07029bfcdb2dce28d959f2815b16f81798"
LONGPOLL_BLOCKS = 3


@unittest.skipUnless(LITECOIND, "litecoind is not installed: the real-node tests are skipped")
class RealNodeLongpoll(unittest.TestCase):
    """The watch's held longpoll is answered when the node mines a block.
    Templates need a peer (the node refuses them while alone) and a chain
    past its first block (before that it counts as syncing)."""

    def setUp(self):
        if not GBT_PROBE or not os.access(GBT_PROBE, os.X_OK):
            self.skipTest("gbt_probe is not built beside nonce_scan")
        self.node = RealNode()
        self.addCleanup(self.node.stop)
        self.peer = RealNode(listen=True)
        self.addCleanup(self.peer.stop)
        self.node.wait_ready()
        self.peer.wait_ready()
        self.node.call("addnode", "127.0.0.1:%d" % self.peer.p2p_port, "onetry")
        self.wait_until(lambda: self.node.call("getconnectioncount") >= 1, "a peer connection")
        descriptor = self.node.call("getdescriptorinfo", "wpkh(%s)" % GENERATOR_PUBKEY)["descriptor"]
        self.address = self.node.call("deriveaddresses", descriptor)[0]
        self.node.call("generatetoaddress", 1, self.address)
        self.proxy = MwebRulesProxy(self.node)
        self.addCleanup(self.proxy.server_close)
        self.addCleanup(self.proxy.shutdown)

    def wait_until(self, condition, what, timeout=30):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, "timed out waiting for " + what)
            time.sleep(0.02)

    def template_held(self):
        return any(c["method"] == "getblocktemplate" for c in self.node.call("getrpcinfo")["active_commands"])

    def test_held_longpoll_answers_when_a_block_is_generated(self):
        probe = LongpollProbe(self.proxy.url, LONGPOLL_BLOCKS, 120, password=PASSWORD)
        self.addCleanup(probe.kill)
        best = self.node.call("getbestblockhash")
        self.assertEqual(probe.wait_line("watching")[1], "%016x" % tip_fingerprint(best))
        latencies, generate_times = [], []
        for n in range(1, LONGPOLL_BLOCKS + 1):
            self.wait_until(self.template_held, "the longpoll to be held by the node")
            before = time.monotonic()
            block = self.node.call("generatetoaddress", 1, self.address)[0]
            generate_times.append(time.monotonic() - before)
            _, count, fingerprint, arrived = probe.wait_line("tip ", count=n)
            latencies.append(float(arrived) - before)
            self.assertEqual((int(count), fingerprint), (n, "%016x" % tip_fingerprint(block)))
        code, out, err = probe.finish()
        self.assertEqual((code, err), (0, []))
        print("\nlongpoll against litecoind: from the start of generatetoaddress to the news median %.1f ms, "
              "max %.1f ms over %d blocks (generatetoaddress itself took %.1f ms); stop with a request held "
              "%s ms" % (1e3 * median(latencies), 1e3 * max(latencies), LONGPOLL_BLOCKS,
                         1e3 * median(generate_times), out[-1].split()[1]))

    def test_the_miner_fetches_a_generated_block_at_once(self):
        """The whole miner, longpoll watch and loop: each block the node
        generates is followed by its next template well inside the loop's
        once-a-second refresh. The node refuses this coin's blocks (another
        proof of work), so the miner also shows that after a refusal the next
        block waits for a fetch: about one submission per fetch."""
        miner = Miner(mining_args(self.proxy.url, threads=1, password=PASSWORD,
                                  address=self.address))
        self.addCleanup(miner.kill)
        miner.wait_for(NEW_BLOCK_RE, timeout=30 * SLOWDOWN)
        limit = 1.0 if SANITIZER else 0.3
        for _ in range(LONGPOLL_BLOCKS):
            time.sleep(1.3)
            height = self.node.call("getblockcount") + 2  # of the template after the next block
            before = time.monotonic()
            self.node.call("generatetoaddress", 1, self.address)
            found = miner.wait_for(r"^New block %d, " % height, timeout=10 * SLOWDOWN)[0]
            arrived = [t for t, line in miner.timed_lines() if line.startswith(found.group(0))][0]
            self.assertLess(arrived - before, limit, miner.transcript())
        self.assertEqual(miner.stop(timeout=20 * SLOWDOWN), 0, miner.transcript())
        self.assertEqual(miner.sanitizer_report(), "")
        fetches = len(miner.matches(NEW_BLOCK_RE))
        # Beyond one per fetch: a block on a new tip found before the last
        # refusal came back goes out at once (submissions never wait for
        # each other), and the block held after the last refusal is tried
        # once at exit.
        self.assertLessEqual(len(miner.matches("^Block rejected: ", stream="stderr")),
                             fetches + 1 + LONGPOLL_BLOCKS + 1)


@unittest.skipUnless(LITECOIND, "litecoind is not installed: the real-node tests are skipped")
class RealNodeBackup(unittest.TestCase):
    """The node link (link_probe) on two litecoind nodes, main and backup,
    each with the peer both need to serve templates: the main one killed,
    the link moves to the backup (the miner's own 15 s); a main node started
    again on its port, synced from the peer, and the link moves back after
    5 s of good answers (60 s in the miner)."""

    def setUp(self):
        if not link_probe_available():
            self.skipTest("link_probe is not built beside nonce_scan")
        self.peer = self.started(RealNode(listen=True))
        self.main = self.started(RealNode())
        self.backup = self.started(RealNode())
        for node in (self.main, self.backup):
            self.join_peer(node)
        descriptor = self.main.call("getdescriptorinfo", "wpkh(%s)" % GENERATOR_PUBKEY)["descriptor"]
        self.address = self.main.call("deriveaddresses", descriptor)[0]
        block = self.main.call("generatetoaddress", 1, self.address)[0]
        self.block_hex = self.main.call("getblock", block, 0)
        self.have_the_block(self.backup)
        self.main_proxy = self.proxied(self.main)
        self.backup_proxy = self.proxied(self.backup)

    def started(self, node):
        self.addCleanup(node.stop)
        node.wait_ready()
        return node

    def join_peer(self, node):
        node.call("addnode", "127.0.0.1:%d" % self.peer.p2p_port, "onetry")
        self.wait_until(lambda: node.call("getconnectioncount") >= 1, "a peer connection")

    def have_the_block(self, node):
        """The main node's block, handed over rather than waited for: relay
        between regtest nodes takes seconds."""
        node.call("submitblock", self.block_hex)
        self.wait_until(lambda: node.call("getblockcount") == 1, "the block")

    def proxied(self, node):
        proxy = MwebRulesProxy(node)
        self.addCleanup(proxy.server_close)
        self.addCleanup(proxy.shutdown)
        return proxy

    def wait_until(self, condition, what, timeout=30):
        deadline = time.monotonic() + timeout
        while not condition():
            self.assertLess(time.monotonic(), deadline, "timed out waiting for " + what)
            time.sleep(0.05)

    def test_the_main_node_killed_and_back(self):
        backup_url = self.backup_proxy.url.replace("http://", "http://%s:%s@" % (USER, PASSWORD))
        probe = LinkProbe(self.main_proxy.url, backups=[backup_url], timing=("--return-after", 5, "--probe-every", 1),
                          password=PASSWORD, address=self.address)
        self.addCleanup(probe.kill)
        probe.wait_for("work", r"^0 2 ", timeout=30)
        port = self.main.port
        self.main.stop()
        killed_at = time.monotonic()
        left_at = probe.wait_for("switched", "^1$", timeout=40)[0][0]
        probe.wait_for("work", r"^1 2 ")

        self.main = self.started(RealNode(port=port))
        self.join_peer(self.main)
        self.have_the_block(self.main)
        synced_at = time.monotonic()
        back_at = probe.wait_for("switched", "^0$", timeout=40)[0][0]
        probe.wait_for("work", r"^0 2 ", count=2)
        self.assertEqual(probe.finish(), 0)
        err = probe.err_lines()
        self.assertEqual(len([line for line in err if "has not answered for" in line]), 1, probe.transcript())
        self.assertEqual(len([line for line in err if "has answered well for" in line]), 1, probe.transcript())
        self.assertNotIn(PASSWORD, "\n".join(err))
        self.assertLess(left_at - killed_at, 15 + 1 + 2 * SLOWDOWN)
        self.assertGreaterEqual(back_at - synced_at, 4)  # the first good probe may precede the count
        print("\nlitecoind main node killed: on the backup after %.1f s; back on the main node %.1f s after it "
              "had synced" % (left_at - killed_at, back_at - synced_at))


if __name__ == "__main__":
    unittest.main()
