"""A real Prometheus (Debian's prometheus) scrapes the miner's /metrics
every second, with the bearer token, while the miner mines against the
development node: its query API shows the hashes counter rising, a rate
derived from it, and tamrix_blocks_accepted_total equal to the node's own
count; promtool finds nothing to say about the exposition."""

import json
import os
import shutil
import subprocess
import tempfile
import time
import urllib.parse
import urllib.request

from api_harness import ApiClient, api_settled, freeze_accepted, wait_until
from harness import SLOWDOWN, MinerTestCase, free_port, mining_args

EASY = ("--zero-bits", 12)
TOKEN = "prom-Token-7"
CPU_SERIES = 'kind="CPU",index="0",pci_bus_id=""'

CONFIG = """\
global:
  scrape_interval: 1s
  evaluation_interval: 1s
scrape_configs:
  - job_name: tamrix
    scrape_interval: 1s
    scrape_timeout: 1s
    authorization:
      credentials: {token}
    static_configs:
      - targets: ['127.0.0.1:{port}']
"""


class Prometheus:
    """Debian's prometheus on a free loopback port with a scratch config and
    storage."""

    def __init__(self, target_port, token):
        self.folder = tempfile.mkdtemp(prefix="tamrix-prometheus-")
        self.port = free_port()
        config = os.path.join(self.folder, "prometheus.yml")
        with open(config, "w") as out:
            out.write(CONFIG.format(token=token, port=target_port))
        self.log = open(os.path.join(self.folder, "log"), "w+")
        self.process = subprocess.Popen(
            ["prometheus", "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.folder, "data"),
             "--web.listen-address=127.0.0.1:%d" % self.port, "--log.level=warn"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)

    def get(self, path, **query):
        url = "http://127.0.0.1:%d%s" % (self.port, path)
        if query:
            url += "?" + urllib.parse.urlencode(query)
        with urllib.request.urlopen(url, timeout=10) as reply:
            return reply.read()

    def ready(self):
        return self.get("/-/ready")

    def query(self, expression):
        """The instant vector's samples: [(labels, value)]."""
        answer = json.loads(self.get("/api/v1/query", query=expression))
        if answer["status"] != "success":
            raise AssertionError(answer)
        return [(sample["metric"], float(sample["value"][1])) for sample in answer["data"]["result"]]

    def one(self, expression):
        samples = self.query(expression)
        return samples[0][1] if len(samples) == 1 else None

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.log.closed:
            return ""
        self.log.seek(0)
        text = self.log.read()
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)
        return text


class ScrapedByPrometheus(MinerTestCase):
    def setUp(self):
        super().setUp()
        for tool in ("prometheus", "promtool"):
            if shutil.which(tool) is None:
                self.skipTest("%s is not installed (tools/install-deps.sh installs it)" % tool)

    def test_prometheus_sees_the_hashes_rise_and_the_node_count(self):
        node = self.start_node(*EASY)
        port = free_port()
        miner = self.start_miner(mining_args(node.url, threads=1) + ["--api-bind", str(port), "--api-token", TOKEN])
        prometheus = Prometheus(port, TOKEN)
        self.addCleanup(prometheus.stop)
        wait_until(prometheus.ready, 60, "Prometheus ready")

        # The target is up, scraped with the token (without it: 401, down).
        wait_until(lambda: prometheus.one('up{job="tamrix"}') == 1, 30 * SLOWDOWN, "the miner scraped")
        hashes = "tamrix_device_hashes_total{%s}" % CPU_SERIES
        first = wait_until(lambda: prometheus.one(hashes), 30, "the hashes counter")
        later = wait_until(lambda: (prometheus.one(hashes) or 0) > first and prometheus.one(hashes),
                           30 * SLOWDOWN, "the hashes counter rising")
        self.assertGreater(later, first)
        rate = wait_until(lambda: prometheus.one("rate(tamrix_device_hashes_total[5s])"), 30 * SLOWDOWN,
                          "a rate derived from the counter")
        self.assertGreater(rate, 0)
        state = prometheus.query("tamrix_device_state{%s} == 1" % CPU_SERIES)
        self.assertEqual(len(state), 1)
        self.assertIn(state[0][0]["state"], ("mining", "waiting"))

        # The node's count, once final, is what Prometheus stores.
        accepted = freeze_accepted(node, 3, 60 * SLOWDOWN)
        api = ApiClient(port, token=TOKEN)
        wait_until(lambda: api_settled(api, accepted), 30 * SLOWDOWN, "the record's accepted count")
        wait_until(lambda: prometheus.one("tamrix_blocks_accepted_total") == accepted, 30,
                   "Prometheus's tamrix_blocks_accepted_total reaching %d" % accepted)
        self.assertEqual(node.stats()["accepted"], accepted)
        self.assertEqual(prometheus.one("tamrix_blocks_accepted_total"), accepted)
        self.assertGreaterEqual(prometheus.one("sum(tamrix_blocks_refused_total)"), 0)
        self.assertEqual(prometheus.one('tamrix_node_state{state="answering"}'), 1)

        # promtool reads the exposition as Prometheus does, and lints it.
        checked = subprocess.run(["promtool", "check", "metrics"], input=api.metrics(), capture_output=True,
                                 text=True, timeout=60)
        self.assertEqual((checked.returncode, checked.stdout + checked.stderr), (0, ""))
        bad = "# TYPE tamrix_x counter\ntamrix_x{a=\"unterminated} 1\n"  # the check is not blind
        self.assertNotEqual(subprocess.run(["promtool", "check", "metrics"], input=bad, capture_output=True,
                                           text=True, timeout=60).returncode, 0)

        self.stop_miner(miner)
        log = prometheus.stop()
        self.assertNotIn("level=error", log)
