"""Shared helpers for the end-to-end tests: start and stop the development
node, run the miner against it, and read what the miner printed.

The environment names the programs under test: TAMRIX_MINER (the built
binary), TAMRIX_DEVNODE (tools/devnode.py) and TAMRIX_SANITIZE ("",
"address" or "thread", the build the binary comes from).
"""

import base64
import json
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty
import unittest
import urllib.error
import urllib.request

REPO_ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MINER = os.environ.get("TAMRIX_MINER", "")
DEVNODE = os.environ.get("TAMRIX_DEVNODE", os.path.join(REPO_ROOT, "tools", "devnode.py"))
# The devnode's block encodings (devnode_blocks) are shared with the tests.
sys.path.insert(0, os.path.dirname(os.path.abspath(DEVNODE)))
# gbt_probe (tests/e2e/gbt_probe.cpp) is built beside nonce_scan.
NONCE_SCAN = os.environ.get("TAMRIX_NONCE_SCAN", "")
GBT_PROBE = os.path.join(os.path.dirname(NONCE_SCAN), "gbt_probe") if NONCE_SCAN else ""
SANITIZER = os.environ.get("TAMRIX_SANITIZE", "")
# Instrumented binaries hash about ten times slower; every wait scales by this.
SLOWDOWN = {"address": 10, "thread": 6}.get(SANITIZER, 1)

USER = "tamrix"
PASSWORD = "tamrix"
REWARD_ADDRESS = "tamrixdev1qminer"  # one the devnode validates

ACCEPTED_RE = re.compile(r"^Block (-?\d+) ACCEPTED \((CPU|GPU)\)! \(total: (\d+)\)$")
STATUS_RE = re.compile(
    r"^(\d+\.\d\d) (kH/s|MH/s|GH/s) \((CPU|GPU|GPU\+CPU)\) \| Blocks: (\d+)(?: \| GPU: (\d+)C)?$")
NEW_BLOCK_RE = re.compile(r"^New block (-?\d+), (\d+) txs, target ([0-9a-fA-F]*)$")
SANITIZER_MARKS = ("Sanitizer", "runtime error:")
RETRY_LINE = "Failed to get work, retrying in 5s..."


def free_port():
    """A loopback port that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def miner_available():
    return bool(MINER) and os.access(MINER, os.X_OK)


class RpcError(Exception):
    """A JSON-RPC call that did not come back with HTTP 200."""

    def __init__(self, status, body):
        super().__init__("HTTP %d: %r" % (status, body[:200]))
        self.status = status
        self.body = body


class DevNode:
    """One development node process on a loopback port."""

    def __init__(self, *args, port=0, user=USER, password=PASSWORD):
        self.args = [str(a) for a in args]
        self.port = port
        self.user = user
        self.password = password
        self.process = None
        self.log_file = None
        self.final_log = ""

    def start(self, timeout=10):
        self.log_file = tempfile.TemporaryFile(mode="w+")
        self.process = subprocess.Popen(
            [sys.executable, DEVNODE, "--port", str(self.port), "--user", self.user,
             "--password", self.password] + self.args,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.log_file, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline() if ready else ""
        match = re.fullmatch(r"devnode listening on http://127\.0\.0\.1:(\d+)\n", line)
        if not match:
            self.kill()
            raise RuntimeError("devnode did not start: %r %s" % (line, self.log()))
        self.port = int(match.group(1))
        return self

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def request(self, body, timeout=30, auth=True):
        """(HTTP status, raw body) of one POST."""
        headers = {"Content-Type": "application/json"}
        if auth:
            token = base64.b64encode(("%s:%s" % (self.user, self.password)).encode()).decode()
            headers["Authorization"] = "Basic " + token
        data = body if isinstance(body, bytes) else body.encode()
        req = urllib.request.Request(self.url, data=data, headers=headers, method="POST")
        try:
            with urllib.request.urlopen(req, timeout=timeout) as reply:
                return reply.status, reply.read()
        except urllib.error.HTTPError as failure:
            return failure.code, failure.read()

    def call(self, method, *params, timeout=30):
        """The "result" of a JSON-RPC call; RpcError unless HTTP 200."""
        body = json.dumps({"jsonrpc": "1.0", "id": 1, "method": method, "params": list(params)})
        status, reply = self.request(body, timeout=timeout)
        if status != 200:
            raise RpcError(status, reply)
        return json.loads(reply)["result"]

    def stats(self):
        return self.call("getstats")

    def make_hostile(self, mode, count=1, method=None, delay=None, watch=False):
        """Spoils the next replies of the miner's main connection, or with
        `watch` of its longpoll watch's."""
        settings = {"mode": mode, "count": count, "watch": watch}
        if method:
            settings["method"] = method
        if delay is not None:
            settings["delay"] = delay
        return self.call("devnode_set", settings)

    def log(self):
        """What the node wrote on stderr (its one line per block)."""
        if self.log_file is None or self.log_file.closed:
            return self.final_log
        self.log_file.seek(0)
        return self.log_file.read()

    def stop(self, signum=signal.SIGINT, timeout=10):
        """Stops the node with a signal; returns (exit code, rest of stdout)."""
        if self.process is None:
            return None, ""
        if self.process.poll() is None:
            self.process.send_signal(signum)
        try:
            out, _ = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, _ = self.process.communicate()
        self.close_files()
        return self.process.returncode, out

    def kill(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.communicate()
        self.close_files()

    def close_files(self):
        if self.process and not self.process.stdout.closed:
            self.process.stdout.close()
        if self.log_file and not self.log_file.closed:
            self.final_log = self.log()
            self.log_file.close()

    def __enter__(self):
        return self.start() if self.process is None else self

    def __exit__(self, *exc):
        self.kill()


class StreamLines:
    """Lines read from one of the miner's streams, each with the monotonic
    time it arrived, collected by a background thread."""

    def __init__(self, fd):
        self.fd = fd
        self.lines = []  # (arrival time, text without newline)
        self.partial = b""
        self.lock = threading.Lock()
        self.closed = threading.Event()
        self.thread = threading.Thread(target=self.pump, daemon=True)
        self.thread.start()

    def pump(self):
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:  # a pty reports EIO once the child has gone
                chunk = b""
            if not chunk:
                break
            self.add(chunk)
        self.add(b"", final=True)
        os.close(self.fd)
        self.closed.set()

    def add(self, chunk, final=False):
        now = time.monotonic()
        with self.lock:
            data = self.partial + chunk
            pieces = data.split(b"\n")
            self.partial = b"" if final else pieces.pop()
            for piece in pieces:
                if final and not piece:
                    continue
                self.lines.append((now, piece.rstrip(b"\r").decode("utf-8", "replace")))

    def snapshot(self):
        with self.lock:
            return list(self.lines)


class Miner:
    """The miner binary running with stdout on a pseudo-terminal (so that
    the C library flushes each line as it is printed) and stderr on a pipe."""

    def __init__(self, args, env=None):
        self.args = [str(a) for a in args]
        master, slave = pty.openpty()
        tty.setraw(slave)  # no newline translation
        self.process = subprocess.Popen([MINER] + self.args, stdin=subprocess.DEVNULL, stdout=slave,
                                        stderr=subprocess.PIPE, env=env)
        os.close(slave)
        self.stdout = StreamLines(master)
        self.stderr = StreamLines(os.dup(self.process.stderr.fileno()))
        self.process.stderr.close()
        self.started = time.monotonic()

    def lines(self, stream="stdout"):
        return [text for _, text in getattr(self, stream).snapshot()]

    def timed_lines(self, stream="stdout"):
        return getattr(self, stream).snapshot()

    def text(self, stream="stdout"):
        return "\n".join(self.lines(stream))

    def matches(self, pattern, stream="stdout"):
        regex = re.compile(pattern) if isinstance(pattern, str) else pattern
        found = []
        for line in self.lines(stream):
            match = regex.search(line)
            if match:
                found.append(match)
        return found

    def wait_for(self, pattern, stream="stdout", count=1, timeout=30):
        """The first `count` matches of pattern; AssertionError when they do
        not come within the timeout or the miner exits first."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.matches(pattern, stream)
            if len(found) >= count:
                return found[:count]
            if self.process.poll() is not None and getattr(self, stream).closed.is_set():
                raise AssertionError("miner exited (code %s) before %d x %r on %s\n%s" % (
                    self.process.returncode, count, getattr(pattern, "pattern", pattern), stream,
                    self.transcript()))
            if time.monotonic() > deadline:
                raise AssertionError("no %d x %r on %s within %.0f s\n%s" % (
                    count, getattr(pattern, "pattern", pattern), stream, timeout, self.transcript()))
            time.sleep(0.05)

    def stop(self, signum=signal.SIGINT, timeout=30):
        """Sends the signal and waits; the exit code (negative when killed
        by a signal, None when it would not stop and was killed)."""
        if self.process.poll() is None:
            self.process.send_signal(signum)
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            self.drain()
            return None
        self.drain()
        return self.process.returncode

    def drain(self):
        self.stdout.closed.wait(5)
        self.stderr.closed.wait(5)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.drain()

    def peak_rss_mib(self):
        """The process's peak resident set so far (VmHWM), in MiB; read
        while it still runs."""
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
        raise AssertionError("no VmHWM in /proc/%d/status" % self.process.pid)

    def sanitizer_report(self):
        """Sanitizer output found on either stream, or ""."""
        for stream in ("stderr", "stdout"):
            text = self.text(stream)
            if any(mark in text for mark in SANITIZER_MARKS):
                return text
        return ""

    def transcript(self):
        return "--- miner stdout\n%s\n--- miner stderr\n%s\n---" % (
            "\n".join(self.lines("stdout")[-60:]), "\n".join(self.lines("stderr")[-60:]))


def mining_args(url, threads=2, cpu_only=True, address=REWARD_ADDRESS, user=USER, password=PASSWORD):
    args = ["--cpu-threads", threads, "-o", url, "-u", user, "-p", password,
            "--coinbase-addr=%s" % address]
    return (["--cpu-only"] if cpu_only else []) + args


def accepted_blocks(miner):
    """(height, device, total) of every ACCEPTED line, in order."""
    return [(int(m.group(1)), m.group(2), int(m.group(3))) for m in miner.matches(ACCEPTED_RE)]


def failures_explained(stderr_lines):
    """True when every "Failed to get work" line follows at least one other
    error line printed since the previous one."""
    reasons = 0
    for line in stderr_lines:
        if line == RETRY_LINE:
            if reasons == 0:
                return False
            reasons = 0
        elif line.strip():
            reasons += 1
    return True


def tip_fingerprint(block_hash_hex):
    """The watch's fingerprint of a tip, from the hash as a node writes it:
    header bytes 4..11 (the hash's last 8 bytes, reversed), little-endian."""
    return int.from_bytes(bytes.fromhex(block_hash_hex)[::-1][:8], "little")


class LongpollProbe:
    """gbt_probe's longpoll verb: the miner's longpoll watch on its own,
    reporting each new tip with the monotonic time it arrived."""

    def __init__(self, url, tips, seconds, user=USER, password=PASSWORD):
        self.process = subprocess.Popen([GBT_PROBE, "longpoll", url, user, password, str(tips), str(seconds)],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.stdout = StreamLines(os.dup(self.process.stdout.fileno()))
        self.stderr = StreamLines(os.dup(self.process.stderr.fileno()))
        self.process.stdout.close()
        self.process.stderr.close()

    def lines(self, stream="stdout"):
        return [text for _, text in getattr(self, stream).snapshot()]

    def wait_line(self, prefix, count=1, timeout=30):
        """The `count`-th stdout line that starts with `prefix`, split."""
        deadline = time.monotonic() + timeout
        while True:
            found = [line for line in self.lines() if line.startswith(prefix)]
            if len(found) >= count:
                return found[count - 1].split()
            if time.monotonic() > deadline or (self.process.poll() is not None and self.stdout.closed.is_set()):
                raise AssertionError("no %d x %r from gbt_probe: %r %r" % (
                    count, prefix, self.lines(), self.lines("stderr")))
            time.sleep(0.005)

    def finish(self, timeout=30):
        """Waits for the probe to end; (exit code, stdout lines, stderr lines)."""
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.stdout.closed.wait(5)
        self.stderr.closed.wait(5)
        return self.process.returncode, self.lines(), self.lines("stderr")

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.finish()


def median(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2]


class MinerTestCase(unittest.TestCase):
    """Base for tests that run the miner: skips without a binary, stops
    every process it started, and fails on any sanitizer report."""

    def setUp(self):
        if not miner_available():
            self.skipTest("TAMRIX_MINER does not name a built miner binary")

    def start_node(self, *args, port=0):
        node = DevNode(*args, port=port).start()
        self.addCleanup(node.kill)
        return node

    def start_miner(self, args, env=None):
        miner = Miner(args, env=env)
        self.addCleanup(self.check_sanitizer, miner)  # cleanups run last-in first-out:
        self.addCleanup(miner.kill)                    # the report is read once it has ended
        return miner

    def check_sanitizer(self, miner):
        report = miner.sanitizer_report()
        if report:
            self.fail("sanitizer report from the miner:\n" + report[-6000:])

    def stop_miner(self, miner, signum=signal.SIGINT):
        """Stops the miner, asserts a clean exit with code 0."""
        code = miner.stop(signum, timeout=20 * SLOWDOWN)
        self.check_sanitizer(miner)
        self.assertEqual(code, 0, "miner exit code\n" + miner.transcript())
        return code
