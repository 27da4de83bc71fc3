"""The read-only HTTP API of the real binary against the development node:
settings that stop the run before the node is asked anything, no thread and
no socket without --api-bind, and one run whose /, /summary and /metrics
answer every kind of request as the API's rules say and agree with what the
node itself counted."""

import json
import re
import signal

from api_harness import (ApiClient, VERSION_RE, api_settled, freeze_accepted, listening_addresses,
                         metric_value, taken_port, thread_names, wait_until)
from harness import SLOWDOWN, STATUS_RE, MinerTestCase, free_port, mining_args

UNREACHABLE = ("--target", "0" * 63 + "1")
EASY = ("--zero-bits", 12)
TOKEN = "s3cret-Token_42"


class ApiRefusals(MinerTestCase):
    def test_settings_that_stop_the_run_before_the_node(self):
        holder, busy = taken_port()
        self.addCleanup(holder.close)
        port = free_port()
        cases = [
            (["--api-bind", "0.0.0.0:%d" % port],
             "tamrix-miner: --api-bind 0.0.0.0:%d listens beyond this machine; give --api-token TOKEN too" % port),
            (["--api-bind", "[::]:%d" % port],
             "tamrix-miner: --api-bind [::]:%d listens beyond this machine; give --api-token TOKEN too" % port),
            (["--api-bind", "0.0.0.0:%d" % port, "--api-token", ""], "tamrix-miner: --api-token is empty"),
            (["--api-bind", "99999"],
             "tamrix-miner: --api-bind 99999: the port must be a number from 1 to 65535"),
            (["--api-bind", "node.example:80"],
             "tamrix-miner: --api-bind node.example:80: not a numeric IPv4 address (or [IPv6], or localhost)"),
            (["--api-bind", str(busy)], "tamrix-miner: the API cannot listen on 127.0.0.1:%d (" % busy),
        ]
        node = self.start_node(*UNREACHABLE)
        for extra, line in cases:
            with self.subTest(args=extra):
                miner = self.start_miner(mining_args(node.url, threads=1) + extra)
                self.assertEqual(miner.process.wait(timeout=30), 1, miner.transcript())
                miner.drain()
                errors = miner.lines("stderr")
                self.assertEqual(len(errors), 1, errors)
                self.assertTrue(errors[0].startswith(line), errors)
                self.assertFalse(any(text.startswith("Connecting to") for text in miner.lines()))
        calls = node.stats()["calls"]
        calls.pop("getstats", None)
        self.assertEqual(calls, {}, "a refused start asked the node")


class ApiOff(MinerTestCase):
    def test_without_api_bind_no_thread_and_no_socket(self):
        """Two miners side by side, the same but for --api-bind: the one
        without has no listening socket and no thread the other lacks; the
        other's API thread runs at nice 19."""
        node = self.start_node(*UNREACHABLE)
        port = free_port()
        off = self.start_miner(mining_args(node.url, threads=1))
        on = self.start_miner(mining_args(node.url, threads=1) + ["--api-bind", str(port)])
        for miner in (off, on):
            miner.wait_for(STATUS_RE, count=2, timeout=30 * SLOWDOWN)
        self.assertEqual(listening_addresses(off.process.pid), [])
        self.assertEqual(listening_addresses(on.process.pid), [("127.0.0.1", port)])

        off_threads = sorted(name for name, _ in thread_names(off.process.pid).values())
        on_threads = thread_names(on.process.pid)
        api_threads = [(name, nice) for name, nice in on_threads.values() if name.startswith("MHD")]
        self.assertEqual(api_threads, [("MHD-single", 19)], on_threads)
        self.assertEqual(sorted(name for name, _ in on_threads.values() if not name.startswith("MHD")),
                         off_threads)
        self.assertFalse(any(name.startswith("MHD") for name in off_threads))
        for miner in (off, on):
            self.stop_miner(miner, signal.SIGTERM)
            self.assertEqual(miner.lines("stderr"), [])


class ApiEndpoints(MinerTestCase):
    def test_one_run_serves_what_the_node_saw(self):
        node = self.start_node(*EASY)
        port = free_port()
        # The password in the URL must never show; -p is the one sent.
        url = node.url.replace("http://", "http://tamrix:UrlPassw0rd@")
        miner = self.start_miner(mining_args(url, threads=1) + ["--api-bind", "127.0.0.1:%d" % port,
                                                                "--api-token", TOKEN])
        version = miner.wait_for(VERSION_RE)[0].group(1)
        api = ApiClient(port, token=TOKEN)
        bare = ApiClient(port)

        # The token is masked in the process's command line like the password.
        with open("/proc/%d/cmdline" % miner.process.pid, "rb") as cmdline:
            arguments = cmdline.read().split(b"\0")
        self.assertNotIn(TOKEN.encode(), b" ".join(arguments))
        self.assertIn(b"x" * len(TOKEN), arguments)

        # Every rule of the API, on the real server.
        status, headers, page = bare.request("GET", "/")
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-type"], "text/html; charset=utf-8")
        self.assertIn("default-src 'none'", headers["content-security-policy"])
        self.assertNotRegex(page.decode(), r"<(link|iframe|img|object)\b|\bsrc\s*=|@import|url\(")
        self.assertEqual(re.findall(r"https?://[^\s\"']+", page.decode()), ["http://www.w3.org/2000/svg"])
        cases = [
            # (method, path, body, extra headers, with token, status, header that must be there)
            ("GET", "/summary", None, {}, False, 401, ("www-authenticate", "Bearer")),
            ("GET", "/metrics", None, {"Authorization": "Bearer wrong"}, False, 401, None),
            ("GET", "/metrics", None, {"Authorization": "Basic " + TOKEN}, False, 401, None),
            ("GET", "/nowhere", None, {}, True, 404, None),
            ("GET", "/summary/", None, {}, True, 404, None),
            ("POST", "/summary", b"{}", {}, True, 405, ("allow", "GET")),
            ("PUT", "/metrics", b"x", {}, True, 405, ("allow", "GET")),
            ("DELETE", "/", None, {}, True, 405, ("allow", "GET")),
            ("HEAD", "/", None, {}, True, 405, ("allow", "GET")),
            ("OPTIONS", "/summary", None, {}, True, 405, ("allow", "GET")),
            ("GET", "/summary", b"hello", {}, True, 413, None),
            ("GET", "/metrics", None, {"Transfer-Encoding": "chunked"}, True, 413, None),
        ]
        for method, path, body, extra, token, expected, header in cases:
            with self.subTest(method=method, path=path, headers=extra):
                status, headers, _ = api.request(method, path, body=body, headers=extra, token=token)
                self.assertEqual(status, expected)
                if header:
                    self.assertEqual(headers.get(header[0]), header[1])

        # Blocks go in, then the node refuses the rest: its count is final.
        accepted = freeze_accepted(node, 3, 60 * SLOWDOWN)
        wait_until(lambda: api_settled(api, accepted), 30 * SLOWDOWN, "the record's accepted count")
        wait_until(lambda: api.summary()["blocks"]["refused"] >= 1, 30 * SLOWDOWN, "a refused block")
        summary = api.summary()
        stats = node.stats()
        self.assertEqual(stats["accepted"], accepted)
        self.assertEqual(summary["version"], version)
        self.assertGreater(summary["uptime_seconds"], 0)
        self.assertEqual(summary["node"]["url"], url.replace("UrlPassw0rd", "x" * len("UrlPassw0rd")))
        self.assertEqual(summary["node"]["state"], "answering")
        self.assertEqual(summary["node"]["height"], stats["height"] + 1)  # the block on the node's tip
        self.assertEqual([(d["kind"], d["index"], d["name"], d["pci_bus_id"]) for d in summary["devices"]],
                         [("CPU", 0, "1 thread", "")])
        cpu = summary["devices"][0]
        self.assertGreater(cpu["hashes"], 0)
        self.assertGreater(cpu["rate_10s"], 0)
        self.assertIsNone(cpu["temperature_c"])
        self.assertEqual(summary["totals"]["hashes"], cpu["hashes"])
        # Every accepted block still listed is the node's, hash and all.
        node_hashes = {block["height"]: block["hash"] for block in stats["blocks"]}
        listed = [b for b in summary["blocks"]["found"] if b["verdict"] == "accepted"]
        self.assertTrue(listed, summary["blocks"])
        for block in listed:
            self.assertEqual(node_hashes.get(block["height"]), block["hash"], block)
            self.assertEqual(block["device"], "CPU")
        refused = [b for b in summary["blocks"]["found"] if b["verdict"] == "refused"]
        self.assertTrue(refused)
        self.assertNotIn(refused[0]["hash"], node_hashes.values())

        status, headers, _ = api.request("GET", "/metrics")
        self.assertEqual((status, headers["content-type"]), (200, "text/plain; version=0.0.4; charset=utf-8"))
        metrics = api.metrics()
        self.assertEqual(metric_value(metrics, "tamrix_blocks_accepted_total"), accepted)
        self.assertGreaterEqual(metric_value(metrics, 'tamrix_blocks_refused_total{reason="high-hash"}'), 1)
        self.assertEqual(metric_value(metrics, 'tamrix_build_info{version="%s"}' % version), 1)
        self.assertGreater(metric_value(metrics, 'tamrix_device_hashes_total{kind="CPU",index="0",pci_bus_id=""}'), 0)
        self.assertEqual(metric_value(metrics, 'tamrix_node_state{state="answering"}'), 1)
        for text in (json.dumps(summary), metrics):
            self.assertNotIn("UrlPassw0rd", text)
            self.assertNotIn(TOKEN, text)

        self.stop_miner(miner)
        # Only the node's refusals (and, after three, the line that sums them up).
        for line in miner.lines("stderr"):
            self.assertTrue(line == "Block rejected: high-hash" or line.startswith("Node refuses every block"), line)
