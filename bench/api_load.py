#!/usr/bin/env python3
"""What the read-only HTTP API costs the mining, side by side.

Every run mines on one thread pinned to CPU 0 against the development node
with a target out of reach (the rate is pure hashing) for 30 s, and reads
the 15th status line's rate (the average since mining began). Variants run
in turn, round after round, so that slow changes in what else the machine
does fall on each of them alike.

  off      no --api-bind: no thread, no socket
  idle     --api-bind, nobody asks
  scraped  --api-bind, /metrics read once a second, as Prometheus would
  abused   --api-bind, tests/api/api_abuser on CPU 1: 1,000 connections held,
           10,000 requests a second for 10 s, 100 MB bodies, every other
           method, a slow header
  closed   the same abuser against a port nothing listens on: the abused
           run's baseline (the abuser's CPU and the kernel's work, no API)

For each variant: the status rate (median over the rounds), the hashes per
second of the miner's own CPU time without the API thread's (which moves
little with the machine's other work), the API thread's CPU seconds, and the
peak RSS; then the ratios the issue asks for: idle and scraped against off,
abused against closed.

Usage: bench/api_load.py [--miner PATH] [--rounds 3] [--variants off,idle,scraped,abused,closed]
"""

import argparse
import os
import statistics
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("TAMRIX_DEVNODE", os.path.join(ROOT, "tools", "devnode.py"))

import harness  # noqa: E402  (needs the environment above)
import api_harness  # noqa: E402

VARIANTS = {  # name: (with_api, abuse, scrape)
    "off": (False, False, False),
    "idle": (True, False, False),
    "scraped": (True, False, True),
    "abused": (True, True, False),
    "closed": (False, True, False),
}
RATIOS = [("idle", "off"), ("scraped", "off"), ("abused", "closed")]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--miner", default=os.path.join(ROOT, "build", "release", "tamrix-miner"))
    parser.add_argument("--abuser", default=None, help="default: beside the miner, tests/api/api_abuser")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--variants", default="off,idle,scraped,abused,closed")
    options = parser.parse_args(argv)
    harness.MINER = os.path.abspath(options.miner)
    if not harness.miner_available():
        sys.exit("no miner binary at %s" % harness.MINER)
    api_harness.ABUSER = options.abuser or os.path.join(os.path.dirname(harness.MINER), "tests", "api",
                                                        "api_abuser")
    names = options.variants.split(",")
    if any(VARIANTS[name][1] for name in names) and not os.access(api_harness.ABUSER, os.X_OK):
        sys.exit("no api_abuser at %s (build the tests, or give --abuser)" % api_harness.ABUSER)

    runs = {name: [] for name in names}
    with harness.DevNode(*api_harness.UNREACHABLE) as node:
        for round_number in range(options.rounds):
            order = names if round_number % 2 == 0 else names[::-1]
            for name in order:
                with_api, abuse, scrape = VARIANTS[name]
                run = api_harness.abused_run(node.url, with_api, abuse=abuse, scrape=scrape)
                run["efficiency"] = run["hashes"] / (run["cpu"] - run["api_cpu"])
                runs[name].append(run)
                print("round %d %-8s %7.2f MH/s  %6.2f M hashes/CPU s  API thread %.2f s  RSS %.1f MiB" % (
                    round_number + 1, name, run["rate"] / 1e6, run["efficiency"] / 1e6, run["api_cpu"],
                    run["peak_rss_mib"]), flush=True)
                for line in run["abuser"]:
                    print("    " + line)

    print()
    print("%s, %d CPUs; %d rounds of %d s per variant; medians" % (
        api_harness.cpu_model(), os.cpu_count(), options.rounds, 2 * api_harness.STATUS_LINES_PER_RUN))
    print("%-8s %12s %18s %16s %10s" % ("variant", "status rate", "hashes/CPU s", "API thread CPU", "peak RSS"))
    medians = {}
    for name in names:
        rate = statistics.median(r["rate"] for r in runs[name])
        efficiency = statistics.median(r["efficiency"] for r in runs[name])
        medians[name] = (rate, efficiency)
        print("%-8s %7.2f MH/s %13.2f M/s %14.2f s %6.1f MiB" % (
            name, rate / 1e6, efficiency / 1e6, statistics.median(r["api_cpu"] for r in runs[name]),
            max(r["peak_rss_mib"] for r in runs[name])))
    for variant, baseline in RATIOS:
        if variant in medians and baseline in medians:
            pairs = [a["rate"] / b["rate"] for a, b in zip(runs[variant], runs[baseline])]
            print("%s / %s: status rate %.3f (per round %s), hashes per CPU second %.3f" % (
                variant, baseline, medians[variant][0] / medians[baseline][0],
                " ".join("%.3f" % p for p in pairs), medians[variant][1] / medians[baseline][1]))


if __name__ == "__main__":
    main(sys.argv[1:])
