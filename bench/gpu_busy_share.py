#!/usr/bin/env python3
"""Runs bench_gpu_busy_share (the loop with the real node link and a
simulated rig, one card per rate) against the development node with a
ticking curtime: a large template (3000 transactions of 333 bytes, about
2.5 MB of reply) and a small one (3 transactions), each with --gpu-only and
with one CPU thread beside the cards. One line per run: `busy` is the
lowest card's share of the time it was busy, `status` the whole machine's
rate from the loop's last status line, `cards` each card's busy share.

With --fail CARD:EVERY the card in that place fails a batch every EVERY
seconds. With --lead the template never changes (no ticking curtime) and
the run says when the devices had used up the 600 s their header time may
run ahead of the node's and began to wait.

Usage: bench/gpu_busy_share.py BENCH_BINARY [--seconds 15] [--rates R[,R...]] [--batch-size N]
                               [--fail CARD:EVERY] [--lead]
"""

import argparse
import os
import re
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("TAMRIX_DEVNODE", os.path.join(ROOT, "tools", "devnode.py"))

import harness  # noqa: E402  (needs the environment above)

TEMPLATES = {"large": ["--txs", "3000", "--tx-size", "333"], "small": ["--txs", "3"]}
DEFAULT_BATCH_SIZE = 1048576  # the miner's: launches of 2^20 nonces, grouped by time
SUMMARY_RE = re.compile(r"^busy_s (\S+) wall_s (\S+) repeats (\d+)$", re.M)
NO_ROOM = "Every nonce of every header time up to 600 s past the node's has been searched"


def run(binary, seconds, rates, template, cpu_threads, batch_size, fail, lead):
    node_args = ["--zero-bits", "64", "--quiet"] + TEMPLATES[template]
    if not lead:
        node_args.append("--tick-curtime")
    args = [binary, None, str(seconds), rates, str(cpu_threads), str(batch_size)]
    if fail:
        args += fail.split(":")
    with harness.DevNode(*node_args) as node:
        args[1] = node.url
        started = time.monotonic()
        proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out, waited_after = [], None
        for line in proc.stdout:
            out.append(line)
            if waited_after is None and line.startswith(NO_ROOM):
                waited_after = time.monotonic() - started
        err = proc.stderr.read()
        proc.wait(timeout=seconds + 120)
        calls = node.stats()["calls"]
    summary = SUMMARY_RE.search(err)
    if proc.returncode != 0 or not summary:
        raise RuntimeError("bench failed:\n" + "".join(out)[-2000:] + err[-2000:])
    busy = [float(b) for b in summary.group(1).split(",")]
    wall, repeats = float(summary.group(2)), int(summary.group(3))
    statuses = [m for m in map(harness.STATUS_RE.match, (l.rstrip("\n") for l in out)) if m]
    status = "%s %s" % (statuses[-1].group(1), statuses[-1].group(2)) if statuses else "none"
    mode = "--gpu-only" if cpu_threads == 0 else "--cpu-threads %d" % cpu_threads
    if batch_size != DEFAULT_BATCH_SIZE:
        mode += " --batch-size %d" % batch_size
    if fail:
        mode += " | card %s fails every %s s" % tuple(fail.split(":"))
    shares = [b / wall for b in busy]
    line = "busy %.2f | %.1f getblocktemplate/s | status %s | template %s | %s | repeats %d | cards %s" % (
        min(shares), calls.get("getblocktemplate", 0) / wall, status, template, mode, repeats,
        " ".join("%.2f" % s for s in shares))
    if lead:
        line += " | waited after %s" % ("%.1f s" % waited_after if waited_after is not None else "never")
    return line


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--seconds", type=int, default=15)
    parser.add_argument("--rates", default="3.8e9")
    parser.add_argument("--batch-size", type=int, default=DEFAULT_BATCH_SIZE,
                        help="as the miner's --batch-size; 0 sizes one launch a batch by time")
    parser.add_argument("--fail", help="CARD:EVERY: the card in place CARD fails every EVERY seconds")
    parser.add_argument("--lead", action="store_true",
                        help="a template that never changes: when the devices run out of header time")
    args = parser.parse_args()
    templates = ("small",) if args.lead else ("large", "small")
    for template in templates:
        for cpu_threads in ((0,) if args.lead else (0, 1)):
            print(run(args.binary, args.seconds, args.rates, template, cpu_threads, args.batch_size,
                      args.fail, args.lead), flush=True)


if __name__ == "__main__":
    main()
