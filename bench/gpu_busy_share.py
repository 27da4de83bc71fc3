#!/usr/bin/env python3
"""Runs bench_gpu_busy_share (the loop with the real node client and a
simulated GPU of RATE hashes a second) against the development node with a
ticking curtime: a large template (3000 transactions of 333 bytes, about
2.5 MB of reply) and a small one (3 transactions), each with --gpu-only and
with one CPU thread beside the GPU. One line per run.

Usage: bench/gpu_busy_share.py BENCH_BINARY [--seconds 15] [--rate 3.8e9] [--batch-size N]
"""

import argparse
import os
import re
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("TAMRIX_DEVNODE", os.path.join(ROOT, "tools", "devnode.py"))

import harness  # noqa: E402  (needs the environment above)

TEMPLATES = {"large": ["--txs", "3000", "--tx-size", "333"], "small": ["--txs", "3"]}
DEFAULT_BATCH_SIZE = 0  # the miner's: sized by time
SUMMARY_RE = re.compile(r"^busy_s (\S+) wall_s (\S+) getblocktemplate (\d+) repeats (\d+)$", re.M)


def run(binary, seconds, rate, template, cpu_threads, batch_size):
    node_args = ["--tick-curtime", "--zero-bits", "64", "--quiet"] + TEMPLATES[template]
    with harness.DevNode(*node_args) as node:
        done = subprocess.run([binary, node.url, str(seconds), str(rate), str(cpu_threads),
                               str(batch_size)],
                              capture_output=True, text=True, timeout=seconds + 120)
    summary = SUMMARY_RE.search(done.stderr)
    if done.returncode != 0 or not summary:
        raise RuntimeError("bench failed:\n" + done.stdout[-2000:] + done.stderr[-2000:])
    busy, wall, fetches = float(summary.group(1)), float(summary.group(2)), int(summary.group(3))
    repeats = int(summary.group(4))
    statuses = [m for m in map(harness.STATUS_RE.match, done.stdout.splitlines()) if m]
    status = "%s %s" % (statuses[-1].group(1), statuses[-1].group(2)) if statuses else "none"
    mode = "--gpu-only" if cpu_threads == 0 else "--cpu-threads %d" % cpu_threads
    if batch_size != DEFAULT_BATCH_SIZE:
        mode += " --batch-size %d" % batch_size
    return "busy %.2f | %.1f getblocktemplate/s | status %s | template %s | %s | repeats %d" % (
        busy / wall, fetches / wall, status, template, mode, repeats)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=int, default=15)
    parser.add_argument("--rate", type=float, default=3.8e9)
    parser.add_argument("--batch-size", type=int, default=DEFAULT_BATCH_SIZE,
                        help="as the miner's --batch-size; 0 sizes batches by time")
    args = parser.parse_args()
    for template in ("large", "small"):
        for cpu_threads in (0, 1):
            print(run(args.binary, args.seconds, args.rate, template, cpu_threads, args.batch_size),
                  flush=True)


if __name__ == "__main__":
    main()
