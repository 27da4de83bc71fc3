"""Helpers for the API's end-to-end tests (test_api*.py): requests to the
miner's API, what a process listens on and which threads it runs (read from
/proc), and a node whose accepted count stops moving so that a reader can
compare it with the miner's."""

import http.client
import json
import os
import socket
import time

from harness import free_port

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
