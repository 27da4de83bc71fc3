#!/usr/bin/env python3
"""How hard the miner leans on its node, state by state, against the
development node (which counts every call): one line per state.

  unchanged template    CPU only, a target out of reach, the same template
  no --cpu-only         a build without GPU support run without --cpu-only
  every block refused   an easy target, every block answered high-hash
  one HTTP 503          one failed fetch with valid work in hand: the status
                        rate at the end beside --benchmark's for one thread
  SIGINT, call held     seconds from SIGINT to exit while the node holds a
                        getblocktemplate for a minute

Run it with the miner of each version side by side, on the same machine:
  bench/node_request_rates.py --miner build/test/tamrix-miner [--seconds 10]
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("TAMRIX_DEVNODE", os.path.join(ROOT, "tools", "devnode.py"))

import harness  # noqa: E402  (needs the environment above)

SCALE = {"H/s": 1.0, "kH/s": 1e3, "MH/s": 1e6, "GH/s": 1e9}
BENCH_RE = re.compile(r"^CPU: (\d+\.\d+) (H/s|kH/s|MH/s|GH/s)$", re.M)
EASY = ("--zero-bits", 8)
UNREACHABLE = ("--target", "0" * 63 + "1")


def node_calls(node):
    calls = dict(node.stats()["calls"])
    calls.pop("getstats", None)
    return calls


def rate_per_second(node, seconds):
    """Requests a second over the next `seconds`, in all and by method."""
    before = node_calls(node)
    time.sleep(seconds)
    after = node_calls(node)
    delta = {m: after[m] - before.get(m, 0) for m in after if after[m] != before.get(m, 0)}
    return sum(delta.values()) / seconds, {m: n / seconds for m, n in sorted(delta.items())}


def describe(methods):
    return ", ".join("%s %.1f" % (m, r) for m, r in methods.items()) or "none"


def mine(args, node_args, setup=None):
    node = harness.DevNode("--quiet", *node_args).start()
    if setup:
        setup(node)
    miner = harness.Miner(args(node.url))
    return node, miner


def requests_while_mining(seconds, threads, node_args, ready, stream="stdout", setup=None):
    """Requests a second once `ready` has appeared on the miner's stream."""
    node, miner = mine(lambda url: harness.mining_args(url, threads=threads), node_args, setup)
    try:
        miner.wait_for(ready, stream=stream, timeout=30)
        total, methods = rate_per_second(node, seconds)
    finally:
        miner.stop()
        node.kill()
    return "%.1f requests/s (%s)" % (total, describe(methods))


def unchanged_template(seconds):
    return requests_while_mining(seconds, 1, UNREACHABLE, harness.STATUS_RE)


def without_cpu_only(seconds):
    node, miner = mine(lambda url: harness.mining_args(url, threads=1, cpu_only=False), UNREACHABLE)
    try:
        time.sleep(1)
        total, methods = rate_per_second(node, seconds)
        exited = miner.process.poll()
    finally:
        miner.stop()
        node.kill()
    err = miner.lines("stderr")
    return "%.1f requests/s (%s), %.0f stderr lines/s, exit %s" % (
        total, describe(methods), len(err) / (seconds + 1), "code %d" % exited if exited is not None
        else "none (still running)")


def every_block_refused(seconds):
    return requests_while_mining(seconds, 2, EASY, "^Block rejected", stream="stderr",
                                 setup=lambda n: n.make_hostile("reject", count=10 ** 6))


def one_http_503(seconds):
    node, miner = mine(lambda url: harness.mining_args(url, threads=1), UNREACHABLE)
    try:
        miner.wait_for(harness.STATUS_RE, count=1, timeout=30)
        node.make_hostile("busy-503", count=1)
        time.sleep(seconds)
    finally:
        miner.stop()
        node.kill()
    rates = [float(m.group(1)) * SCALE[m.group(2)] for m in miner.matches(harness.STATUS_RE)]
    bench = subprocess.run([harness.MINER, "--benchmark", "--cpu-only", "--cpu-threads", "1",
                            "--bench-duration", "5"], capture_output=True, text=True).stdout
    match = BENCH_RE.search(bench)
    bench_rate = float(match.group(1)) * SCALE[match.group(2)]
    failures = len(miner.matches("^Failed to get work", stream="stderr"))
    return "status %.2f of --benchmark after %d s (%d failed fetch%s)" % (
        rates[-1] / bench_rate, seconds, failures, "" if failures == 1 else "es")


def sigint_while_a_call_hangs(_seconds):
    node, miner = mine(lambda url: harness.mining_args(url, threads=1), UNREACHABLE)
    try:
        miner.wait_for(harness.STATUS_RE, timeout=30)
        node.make_hostile("slow", method="getblocktemplate", delay=60)
        time.sleep(1.5)  # the next fetch is held by now
        signalled = time.monotonic()
        miner.process.send_signal(signal.SIGINT)
        code = miner.process.wait(timeout=90)
        delay = time.monotonic() - signalled
    finally:
        miner.kill()
        node.kill()
    return "exit %d after %.2f s" % (code, delay)


STATES = [("unchanged template", unchanged_template), ("no --cpu-only", without_cpu_only),
          ("every block refused", every_block_refused), ("one HTTP 503", one_http_503),
          ("SIGINT, call held", sigint_while_a_call_hangs)]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--miner", default=os.path.join(ROOT, "build", "test", "tamrix-miner"))
    parser.add_argument("--seconds", type=float, default=10)
    options = parser.parse_args(argv)
    harness.MINER = os.path.abspath(options.miner)
    if not harness.miner_available():
        sys.exit("node_request_rates.py: no miner at %s" % harness.MINER)
    for name, measure in STATES:
        print("%-20s %s" % (name, measure(options.seconds)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
