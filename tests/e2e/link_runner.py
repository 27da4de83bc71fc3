"""link_probe (tests/e2e/link_probe.cpp), the miner's node link on its own,
run by the node-side tests and the request-rate bench: commands on its
standard input, its timestamped events read back."""

import os
import re
import subprocess
import time

from harness import NONCE_SCAN, PASSWORD, REWARD_ADDRESS, USER, StreamLines

LINK_PROBE = os.path.join(os.path.dirname(NONCE_SCAN), "link_probe") if NONCE_SCAN else ""


def link_probe_available():
    return bool(LINK_PROBE) and os.access(LINK_PROBE, os.X_OK)


class LinkProbe:
    def __init__(self, url, backups=(), timing=(), user=USER, password=PASSWORD, address=REWARD_ADDRESS):
        args = [LINK_PROBE]
        for backup in backups:
            args += ["--backup-node", backup]
        args += [str(a) for a in timing] + [url, user, password, address]
        self.process = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.stdout = StreamLines(os.dup(self.process.stdout.fileno()))
        self.stderr = StreamLines(os.dup(self.process.stderr.fileno()))
        self.process.stdout.close()
        self.process.stderr.close()

    def send(self, command):
        self.process.stdin.write((command + "\n").encode())
        self.process.stdin.flush()

    def events(self, kind=None):
        """(time, kind, fields) of every event line, of one kind if given."""
        found = []
        for _, line in self.stdout.snapshot():
            parts = line.split(" ", 2)
            if len(parts) >= 2 and (kind is None or parts[1] == kind):
                found.append((float(parts[0]), parts[1], parts[2] if len(parts) > 2 else ""))
        return found

    def wait_for(self, kind, pattern="", count=1, timeout=30):
        """The first `count` events of `kind` whose fields match `pattern`."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            found = [e for e in self.events(kind) if regex.search(e[2])]
            if len(found) >= count:
                return found[:count]
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("no %d x %s %r from link_probe\n%s" % (count, kind, pattern, self.transcript()))
            time.sleep(0.01)

    def err_lines(self):
        return [text for _, text in self.stderr.snapshot()]

    def timed_err_lines(self):
        return self.stderr.snapshot()

    def finish(self, timeout=60):
        """Stops the link as the miner does at exit; its exit code."""
        if self.process.poll() is None:
            try:
                self.send("stop")
                self.process.stdin.close()
            except BrokenPipeError:
                pass
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.stdout.closed.wait(5)
        self.stderr.closed.wait(5)
        return self.process.returncode

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.finish()

    def requests(self):
        """{(method, connection, node): count} from the last counts printed."""
        counts = {}
        for _, _, fields in self.events("requests"):
            method, connection, node, count = fields.split()
            counts[(method, connection, int(node))] = int(count)
        return counts

    def transcript(self):
        return "--- link_probe stdout\n%s\n--- stderr\n%s\n---" % (
            "\n".join(t for _, t in self.stdout.snapshot()[-60:]), "\n".join(self.err_lines()[-60:]))


def node_clock_offset(node):
    """What to add to the development node's uptimes (its call_times) to
    read them on this machine's monotonic clock, within a few milliseconds."""
    before = time.monotonic()
    uptime = node.stats()["uptime"]
    return (before + time.monotonic()) / 2 - uptime
