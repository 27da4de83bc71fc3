#!/usr/bin/env python3
"""The mining loop while the node hangs, measured from outside the real
binary (CPU only, one thread) against the development node:

- a submitblock held for 30 s: the miner's hashing rate over that time (its
  CPU time, which the search spends all of, against the --benchmark rate's
  share of a core), and the status lines printed meanwhile;
- a getblocktemplate held while the node's tip moves: how soon after the
  move the search stops (the process's CPU time stops growing), the
  longpoll watch having named the new tip.

Usage: bench/loop_hangs.py --miner BUILD/tamrix-miner
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

TICKS = os.sysconf("SC_CLK_TCK")
RATE_RE = re.compile(r"^CPU: (\d+\.\d+) (H|kH|MH|GH)/s$", re.M)
SCALE = {"H": 1, "kH": 1e3, "MH": 1e6, "GH": 1e9}


def cpu_seconds(pid):
    """User and system time of every thread of the process so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def benchmark_rate(miner):
    done = subprocess.run([miner, "--benchmark", "--cpu-only", "--cpu-threads", "1", "--bench-duration", "5"],
                          capture_output=True, text=True, check=True)
    value, unit = RATE_RE.search(done.stdout).groups()
    return float(value) * SCALE[unit]


def start_miner(miner, url):
    return subprocess.Popen([miner] + [str(a) for a in harness.mining_args(url, threads=1)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_for_line(proc, pattern, timeout=60):
    deadline = time.monotonic() + timeout
    regex = re.compile(pattern)
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if regex.search(line):
            return line
    raise RuntimeError("no line matching %r" % pattern)


def hung_submission(miner):
    """CPU seconds a second, and status lines, while a submitblock is held."""
    with harness.DevNode("--zero-bits", 20, "--quiet") as node:
        node.make_hostile("slow", method="submitblock", delay=30)
        proc = start_miner(miner, node.url)
        wait_for_line(proc, r"^\*\*\* CPU SOLUTION!")
        began, cpu_began = time.monotonic(), cpu_seconds(proc.pid)
        statuses = 0
        while time.monotonic() - began < 25:
            if harness.STATUS_RE.match(proc.stdout.readline().rstrip("\n")):
                statuses += 1
        share = (cpu_seconds(proc.pid) - cpu_began) / (time.monotonic() - began)
        proc.kill()
        proc.wait()
    return share, statuses


def hung_fetch_then_new_tip(miner):
    """Seconds from the tip's move to the search's stop, while every
    getblocktemplate of the main connection is held."""
    with harness.DevNode("--target", "0" * 63 + "1", "--quiet") as node:
        proc = start_miner(miner, node.url)
        wait_for_line(proc, r"^New block ")
        time.sleep(2)  # the watch holds its request by now
        node.make_hostile("slow", count=100, method="getblocktemplate", delay=30)
        time.sleep(1.5)  # the next fetch is held
        moved = time.monotonic()
        node.call("devnode_newtip")
        samples = []
        while time.monotonic() - moved < 3:
            samples.append((time.monotonic() - moved, cpu_seconds(proc.pid)))
            time.sleep(0.002)
        proc.kill()
        proc.wait()
    # The first moment from which the process uses less than a tenth of a
    # core over the next half second (its idle threads still wake now and
    # then); the clock ticks every 10 ms, so that is the resolution.
    for i, (at, cpu) in enumerate(samples):
        later = [c for t, c in samples[i:] if t >= at + 0.5]
        if later and later[0] - cpu < 0.05:
            return at
    return float("inf")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--miner", required=True)
    args = parser.parse_args()
    miner = os.path.realpath(args.miner)
    # One thread of the search keeps one core busy; the benchmark's share
    # of a core is that same 1.0, so CPU seconds a second is the rate's share.
    rate = benchmark_rate(miner)
    share, statuses = hung_submission(miner)
    print("submitblock held 30 s: %.2f of a core hashing for 25 s (benchmark %.2f MH/s), %d status lines"
          % (share, rate / 1e6, statuses), flush=True)
    stopped = hung_fetch_then_new_tip(miner)
    print("getblocktemplate held, new tip: the search stopped %.0f ms after the move" % (stopped * 1000),
          flush=True)


if __name__ == "__main__":
    main()
