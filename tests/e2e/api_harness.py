"""Helpers for the API's end-to-end tests (test_api*.py): requests to the
miner's API, what a process listens on and which threads it runs (read from
/proc), and a node whose accepted count stops moving so that a reader can
compare it with the miner's."""

import http.client
import json
import os
import socket
import subprocess
import time

from harness import NONCE_SCAN, STATUS_RE, Miner, free_port, mining_args

VERSION_RE = r"^tamrix-miner v(\S+) - "
# The node answers every later block high-hash: its accepted count is final.
FREEZE_COUNT = 100000


class ApiClient:
    """GET requests to the miner's API on 127.0.0.1, one connection kept."""

    def __init__(self, port, token=None, timeout=10):
        self.port = port
        self.token = token
        self.timeout = timeout

    def request(self, method, path, body=None, headers=None, token=True):
        """(status, headers as a lower-cased dict, body bytes) on a fresh connection."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=self.timeout)
        try:
            sent = dict(headers or {})
            if token and self.token:
                sent["Authorization"] = "Bearer " + self.token
            connection.request(method, path, body=body, headers=sent)
            reply = connection.getresponse()
            return reply.status, {k.lower(): v for k, v in reply.getheaders()}, reply.read()
        finally:
            connection.close()

    def summary(self):
        status, _, body = self.request("GET", "/summary")
        if status != 200:
            raise AssertionError("/summary answered %d: %r" % (status, body[:200]))
        return json.loads(body)

    def metrics(self):
        status, _, body = self.request("GET", "/metrics")
        if status != 200:
            raise AssertionError("/metrics answered %d: %r" % (status, body[:200]))
        return body.decode()


def metric_value(text, series):
    """The value of one series ("name" or "name{labels}") in an exposition."""
    for line in text.splitlines():
        if line.startswith(series + " "):
            return float(line.rsplit(" ", 1)[1])
    raise AssertionError("no %s in\n%s" % (series, text))


def wait_until(check, timeout, what, interval=0.25):
    """Calls check() until it returns something true; that value."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        try:
            last = check()
        except (OSError, AssertionError, ValueError, http.client.HTTPException) as failure:
            last = failure
        else:
            if last:
                return last
        time.sleep(interval)
    raise AssertionError("%s: not within %.0f s (last: %r)" % (what, timeout, last))


def freeze_accepted(node, at_least, timeout):
    """Waits for `at_least` accepted blocks, then has the node refuse every
    later one; the node's final accepted count."""
    wait_until(lambda: node.stats()["accepted"] >= at_least, timeout, "%d blocks accepted" % at_least)
    node.make_hostile("reject", count=FREEZE_COUNT)
    return node.stats()["accepted"]


def api_settled(api, accepted):
    """True once the miner's record counts the node's accepted blocks."""
    return api.summary()["blocks"]["accepted"] == accepted


def socket_inodes(pid):
    inodes = set()
    fd_dir = "/proc/%d/fd" % pid
    for fd in os.listdir(fd_dir):
        try:
            target = os.readlink(os.path.join(fd_dir, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:["):-1])
    return inodes


def listening_addresses(pid):
    """(address, port) of every TCP socket the process listens on, read from
    its descriptors and /proc/PID/net/tcp and tcp6."""
    mine = socket_inodes(pid)
    found = []
    for table, family in (("tcp", socket.AF_INET), ("tcp6", socket.AF_INET6)):
        try:
            with open("/proc/%d/net/%s" % (pid, table)) as rows:
                next(rows)
                for row in rows:
                    fields = row.split()
                    local, state, inode = fields[1], fields[3], fields[9]
                    if state != "0A" or inode not in mine:  # 0A: LISTEN
                        continue
                    address_hex, port_hex = local.split(":")
                    raw = bytes.fromhex(address_hex)
                    if family == socket.AF_INET:
                        raw = raw[::-1]
                    else:
                        raw = b"".join(raw[i:i + 4][::-1] for i in range(0, 16, 4))
                    found.append((socket.inet_ntop(family, raw), int(port_hex, 16)))
        except FileNotFoundError:
            continue
    return sorted(found)


def thread_names(pid):
    """{thread id: (name, nice)} of every thread of the process."""
    threads = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as stat:
                text = stat.read()
        except FileNotFoundError:
            continue
        name = text[text.index("(") + 1:text.rindex(")")]
        fields = text[text.rindex(")") + 2:].split()
        threads[int(tid)] = (name, int(fields[16]))  # field 19 of stat: nice
    return threads


def taken_port():
    """A loopback socket listening on a free port, and the port."""
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", free_port()))
    holder.listen(1)
    return holder, holder.getsockname()[1]


# ---- The abuse runs (test_api_abuse_slow.py, bench/api_load.py)

ABUSER = os.path.join(os.path.dirname(os.path.dirname(NONCE_SCAN)), "api", "api_abuser") if NONCE_SCAN else ""
STATUS_LINES_PER_RUN = 15  # 30 s of mining: the abuse (about 24 s) and a margin either side
UNREACHABLE = ("--target", "0" * 63 + "1")  # no block ends a unit of work: the rate is pure hashing
SCALE = {"kH/s": 1e3, "MH/s": 1e6, "GH/s": 1e9}


def pinned(cpu, start):
    """Runs start() with this thread pinned to one CPU, so that what it
    forks (and every thread that forks) stays there; the previous set after."""
    if not hasattr(os, "sched_setaffinity") or os.cpu_count() < 2:
        return start()
    before = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {cpu})
    try:
        return start()
    finally:
        os.sched_setaffinity(0, before)


def status_rates(miner):
    """(arrival time, rate in H/s) of every status line so far."""
    rates = []
    for arrived, text in miner.timed_lines():
        match = STATUS_RE.match(text)
        if match:
            rates.append((arrived, float(match.group(1)) * SCALE[match.group(2)]))
    return rates


def thread_cpu_seconds(pid, prefix):
    """CPU seconds (user + system) of the process's threads whose name starts with prefix."""
    ticks = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/stat" % (pid, tid)) as stat:
                text = stat.read()
        except FileNotFoundError:
            continue
        if text[text.index("(") + 1:text.rindex(")")].startswith(prefix):
            fields = text[text.rindex(")") + 2:].split()
            ticks += int(fields[11]) + int(fields[12])
    return ticks / os.sysconf("SC_CLK_TCK")


def process_cpu_seconds(pid):
    """CPU seconds (user + system) of the whole process, ended threads included."""
    with open("/proc/%d/stat" % pid) as stat:
        text = stat.read()
    fields = text[text.rindex(")") + 2:].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def abused_run(node_url, with_api, abuse=True, scrape=False):
    """One run of the miner (one thread, on CPU 0) for STATUS_LINES_PER_RUN
    status periods, while the abuser (on CPU 1) attacks the API's port, or
    the same port with nothing listening on it when `with_api` is false.
    `scrape` reads /metrics once a second instead. Returns a dict: rate (the
    last status line's, since mining began), rates, peak_rss_mib, api_cpu
    (seconds of the API thread), cpu (seconds of the whole process), hashes
    (the rate times the run), abuser (its lines), miner.

    The rate is hashes per second of the machine's time, so it moves with
    whatever else the machine runs; hashes per second of the miner's own
    CPU time (hashes / (cpu - api_cpu)) does not, and the API thread's CPU
    time is the most the API can have taken from the search on its core."""
    port = free_port()
    args = mining_args(node_url, threads=1) + (["--api-bind", str(port)] if with_api else [])
    miner = pinned(0, lambda: Miner(args))
    try:
        miner.wait_for(STATUS_RE, timeout=30)
        abuser_lines = []
        if abuse:
            run = subprocess.run(["taskset", "-c", "1", ABUSER, str(port)] if os.cpu_count() >= 2 else
                                 [ABUSER, str(port)], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                 timeout=120, check=True)
            abuser_lines = run.stdout.splitlines()
        while len(status_rates(miner)) < STATUS_LINES_PER_RUN:
            if scrape and with_api:
                ApiClient(port).request("GET", "/metrics")
            miner.wait_for(STATUS_RE, count=len(status_rates(miner)) + 1, timeout=30)
            if scrape and with_api:
                time.sleep(0.5)
        cpu = process_cpu_seconds(miner.process.pid)
        rate = status_rates(miner)[STATUS_LINES_PER_RUN - 1][1]
        result = {"rate": rate,
                  "cpu": cpu,
                  "hashes": rate * 2.0 * STATUS_LINES_PER_RUN,  # a status line every 2 s
                  "rates": status_rates(miner)[:STATUS_LINES_PER_RUN],
                  "peak_rss_mib": miner.peak_rss_mib(),
                  "api_cpu": thread_cpu_seconds(miner.process.pid, "MHD"),
                  "abuser": abuser_lines,
                  "miner": miner,
                  "answers_after": ApiClient(port).request("GET", "/summary")[0] if with_api else None}
    finally:
        miner.stop()
    return result


def abuser_figures(lines):
    """{phase: {name: value}} from the abuser's lines."""
    figures = {}
    for line in lines:
        phase, _, rest = line.partition(": ")
        figures[phase] = dict(pair.split("=", 1) for pair in rest.split() if "=" in pair)
        if phase == "bodies":
            figures[phase]["statuses"] = rest.split("statuses=", 1)[1].split()
    return figures


def cpu_model():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown CPU"
