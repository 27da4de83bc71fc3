#!/usr/bin/env python3
"""The whole mining loop's rate against the development node, beside the
kernel-only rate of the same thread count, measured in the same run.

The node behaves as one does between two blocks: its template's curtime
follows the clock, and it carries thousands of transactions (about 2 MB of
reply by default), so every unit of work costs a real fetch, parse and
merkle tree. The target is far out of reach, so no block ends a unit early.

The status line's rate is the average since mining began, fetches included;
`--benchmark` runs the CPU search alone. Their ratio is the share of the
machine's hashing the loop keeps. With as many threads as cores, the main
thread and the node compete with the workers for the same cores.

Usage: bench/loop_rates.py [--miner PATH] [--seconds 15] [--threads 1,2]
                           [--txs 3000] [--tx-size 333] [--no-tick]
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

SCALE = {"H/s": 1.0, "kH/s": 1e3, "MH/s": 1e6, "GH/s": 1e9}
BENCH_RE = re.compile(r"^CPU: (\d+\.\d+) (H/s|kH/s|MH/s|GH/s)$")


def benchmark_rate(miner, threads, seconds):
    out = subprocess.run([miner, "--benchmark", "--cpu-only", "--cpu-threads", str(threads),
                          "--bench-duration", str(seconds)],
                         capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        match = BENCH_RE.match(line)
        if match:
            return float(match.group(1)) * SCALE[match.group(2)]
    raise RuntimeError("no CPU rate in the benchmark output:\n" + out)


def mining_rate(threads, seconds, node_args):
    """The last status line's rate after `seconds` of mining, and how many
    units of work (New block lines) the run fetched."""
    with harness.DevNode(*node_args) as node:
        miner = harness.Miner(harness.mining_args(node.url, threads=threads))
        time.sleep(seconds)
        miner.stop()
    rates = [float(m.group(1)) * SCALE[m.group(2)]
             for m in (harness.STATUS_RE.match(line) for line in miner.lines()) if m]
    units = sum(1 for line in miner.lines() if harness.NEW_BLOCK_RE.match(line))
    if not rates:
        raise RuntimeError("no status line:\n" + miner.transcript())
    return rates[-1], units


def cpu_model():
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown CPU"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--miner", default=os.path.join(ROOT, "build", "release", "tamrix-miner"))
    parser.add_argument("--seconds", type=float, default=15)
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--txs", type=int, default=3000)
    parser.add_argument("--tx-size", type=int, default=333)
    parser.add_argument("--no-tick", action="store_true", help="keep curtime fixed")
    options = parser.parse_args(argv)
    harness.MINER = os.path.abspath(options.miner)
    if not harness.miner_available():
        sys.exit("loop_rates.py: no miner at %s; build it or pass --miner" % harness.MINER)

    node_args = ["--quiet", "--zero-bits", "64", "--txs", options.txs, "--tx-size", options.tx_size]
    if not options.no_tick:
        node_args.append("--tick-curtime")
    print("%s; node: %s" % (cpu_model(), " ".join(map(str, node_args))))
    print("%-8s %16s %16s %7s %7s" % ("threads", "mining H/s", "benchmark H/s", "share", "units"))
    for threads in [int(t) for t in options.threads.split(",")]:
        mined, units = mining_rate(threads, options.seconds, node_args)
        bench = benchmark_rate(harness.MINER, threads, 5)
        print("%-8d %16.0f %16.0f %7.3f %7d" % (threads, mined, bench, mined / bench, units))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
