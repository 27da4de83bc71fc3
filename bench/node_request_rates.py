#!/usr/bin/env python3
"""How hard the miner leans on its nodes, state by state, as the development
nodes count the calls (every connection: fetches, the longpoll watch,
submissions, probes): one line per state, requests a second in all, by
method, and in all less one fetch and one submission per block of ours that
went in (the two requests the budget of about three a second leaves out).

  unchanged template    CPU only, a target out of reach, the same template
  no --cpu-only         a build without GPU support run without --cpu-only
  every block refused   an easy target, every block answered high-hash
  our blocks go in      an easy target, every block accepted
  a block every 1/8 s   one CPU thread, a target it meets every 1/8 s of
                        hashing: also the share of --benchmark that became
                        new work (distinct blocks x hashes expected for each)
  tips every 10 ms      another miner's block every 10 ms
  two nodes alternate   two nodes on different tips behind one address
  node down             nothing listens where the node was
  node hangs            every getblocktemplate held for a minute
  on a backup node      main node down, a backup mined on (the link alone:
                        link_probe, as the miner does not read a backup's
                        credentials yet)
  one HTTP 503          one failed fetch with valid work in hand: the status
                        rate at the end beside --benchmark's for one thread
  SIGINT, call held     seconds from SIGINT to exit while the node holds a
                        getblocktemplate for a minute

Run it with the miner of each version side by side, on the same machine:
  bench/node_request_rates.py --miner build/tamrix-miner [--seconds 10]
"""

import argparse
import os
import platform
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("TAMRIX_DEVNODE", os.path.join(ROOT, "tools", "devnode.py"))

import harness  # noqa: E402  (needs the environment above)
import link_runner  # noqa: E402

SCALE = {"H/s": 1.0, "kH/s": 1e3, "MH/s": 1e6, "GH/s": 1e9}
BENCH_RE = re.compile(r"^CPU: (\d+\.\d+) (H/s|kH/s|MH/s|GH/s)$", re.M)
EASY = ("--zero-bits", 8)
UNREACHABLE = ("--target", "0" * 63 + "1")
PROXY = os.path.join(ROOT, "tools", "devnode_proxy.py")


def node_calls(nodes):
    """Calls so far, by method, summed over `nodes`; getstats left out."""
    calls = {}
    for node in nodes:
        for method, count in node.stats()["calls"].items():
            if method != "getstats":
                calls[method] = calls.get(method, 0) + count
    return calls


def accepted(nodes):
    return sum(node.stats()["accepted"] for node in nodes)


def measure(nodes, seconds):
    """Requests a second over the next `seconds`, and the blocks that went in."""
    before, blocks_before = node_calls(nodes), accepted(nodes)
    time.sleep(seconds)
    after, blocks_after = node_calls(nodes), accepted(nodes)
    delta = {m: after[m] - before.get(m, 0) for m in after if after[m] != before.get(m, 0)}
    return delta, blocks_after - blocks_before


def describe(delta, blocks, seconds):
    total = sum(delta.values()) / seconds
    methods = ", ".join("%s %.1f" % (m, n / seconds) for m, n in sorted(delta.items())) or "none"
    text = "%.2f requests/s (%s)" % (total, methods)
    if blocks:
        text += "; %d blocks in, %.2f requests/s less a fetch and a submission each" % (
            blocks, total - 2 * blocks / seconds)
    return text


def start_node(*args, port=0):
    return harness.DevNode("--quiet", *args, port=port).start()


def with_miner(seconds, node_args, ready, stream="stdout", setup=None, threads=1, url_of=None):
    node = start_node(*node_args)
    extra = []
    try:
        if setup:
            extra = setup(node) or []
        url = url_of(node, extra) if url_of else node.url
        miner = harness.Miner(harness.mining_args(url, threads=threads))
        try:
            miner.wait_for(ready, stream=stream, timeout=30)
            delta, blocks = measure([node] + [n for n in extra if isinstance(n, harness.DevNode)], seconds)
        finally:
            miner.stop()
    finally:
        node.kill()
        for other in extra:
            other.kill() if isinstance(other, harness.DevNode) else (other.terminate(), other.wait())
    return describe(delta, blocks, seconds)


def unchanged_template(seconds):
    return with_miner(seconds, UNREACHABLE, harness.STATUS_RE)


def without_cpu_only(seconds):
    node = start_node(*UNREACHABLE)
    miner = harness.Miner(harness.mining_args(node.url, threads=1, cpu_only=False))
    try:
        time.sleep(1)
        delta, blocks = measure([node], seconds)
        exited = miner.process.poll()
    finally:
        miner.stop()
        node.kill()
    err = miner.lines("stderr")
    return "%s, %.0f stderr lines/s, exit %s" % (
        describe(delta, blocks, seconds), len(err) / (seconds + 1),
        "code %d" % exited if exited is not None else "none (still running)")


def every_block_refused(seconds):
    return with_miner(seconds, EASY, "^Block rejected", stream="stderr", threads=2,
                      setup=lambda n: n.make_hostile("reject", count=10 ** 6))


def our_blocks_go_in(seconds):
    return with_miner(seconds, EASY, harness.ACCEPTED_RE, threads=2)


def benchmark_rate(threads=1):
    out = subprocess.run([harness.MINER, "--benchmark", "--cpu-only", "--cpu-threads", str(threads),
                          "--bench-duration", "5"], capture_output=True, text=True).stdout
    match = BENCH_RE.search(out)
    return float(match.group(1)) * SCALE[match.group(2)]


def a_block_every_eighth_second(seconds):
    """One CPU thread, a target at which it finds a block every 1/8 s of
    hashing, every block accepted: the share of --benchmark's rate that
    became new work, measured from outside as distinct blocks the node took
    times the hashes each is expected to cost."""
    rate = benchmark_rate()
    hashes_per_block = rate / 8
    target = int(2 ** 256 / hashes_per_block) - 1
    node = start_node("--target", "%064x" % target)
    miner = harness.Miner(harness.mining_args(node.url, threads=1))
    try:
        miner.wait_for(harness.ACCEPTED_RE, timeout=30)
        delta, blocks = measure([node], seconds)
    finally:
        miner.stop()
        node.kill()
    return "%s; new work %.2f of --benchmark (%.0f H/s)" % (
        describe(delta, blocks, seconds), blocks * hashes_per_block / (seconds * rate), rate)


def tips_every_10_ms(seconds):
    return with_miner(seconds, UNREACHABLE + ("--newtip-every", 10), harness.NEW_BLOCK_RE)


def proxy_for(urls):
    proxy = subprocess.Popen([sys.executable, PROXY] + urls, stdout=subprocess.PIPE, text=True)
    return proxy, proxy.stdout.readline().split()[-1]


def two_nodes_alternate(seconds):
    def second_node_and_proxy(node):
        other = start_node(*UNREACHABLE)
        proxy, url = proxy_for([node.url, other.url])
        proxy.url = url
        return [other, proxy]
    return with_miner(seconds, UNREACHABLE, harness.NEW_BLOCK_RE, setup=second_node_and_proxy,
                      url_of=lambda node, extra: extra[1].url)


def node_down(seconds):
    """Counted where the node was: a node started on the port when the
    window closes would see nothing, so the miner's own lines are counted."""
    port = harness.free_port()
    miner = harness.Miner(harness.mining_args("http://127.0.0.1:%d" % port, threads=1))
    try:
        miner.wait_for(harness.RETRY_LINE, stream="stderr", timeout=30)
        before = len(miner.matches("^RPC call failed", stream="stderr"))
        time.sleep(seconds)
        failed = len(miner.matches("^RPC call failed", stream="stderr")) - before
    finally:
        miner.stop()
    return "%.2f failed fetches/s (the longpoll watch's failures are not printed)" % (failed / seconds)


def node_hangs(seconds):
    def hang_every_template(node):
        for watch in (False, True):
            node.make_hostile("slow", method="getblocktemplate", delay=60, count=100, watch=watch)
    return with_miner(seconds, UNREACHABLE, harness.STATUS_RE, setup=hang_every_template)


def on_a_backup_node(seconds):
    main = start_node(*UNREACHABLE)
    backup = start_node(*UNREACHABLE)
    probe = link_runner.LinkProbe(main.url, backups=[backup.url.replace("http://", "http://tamrix:tamrix@")])
    try:
        probe.wait_for("work")
        main.kill()
        probe.wait_for("switched", "^1$", timeout=40)
        probe.send("status")
        time.sleep(0.3)
        before = dict(probe.requests())
        delta, blocks = measure([backup], seconds)
        probe.send("status")
        time.sleep(0.3)
        after = probe.requests()
        probed = sum(after[k] - before.get(k, 0) for k in after if k[1] == "probe")
    finally:
        probe.kill()
        backup.kill()
    return "%s on the backup; the dead main node probed %.2f/s" % (describe(delta, blocks, seconds), probed / seconds)


def one_http_503(seconds):
    node = start_node(*UNREACHABLE)
    miner = harness.Miner(harness.mining_args(node.url, threads=1))
    try:
        miner.wait_for(harness.STATUS_RE, count=1, timeout=30)
        node.make_hostile("busy-503", count=1)
        time.sleep(seconds)
    finally:
        miner.stop()
        node.kill()
    rates = [float(m.group(1)) * SCALE[m.group(2)] for m in miner.matches(harness.STATUS_RE)]
    bench_rate = benchmark_rate()
    failures = len(miner.matches("^Failed to get work", stream="stderr"))
    return "status %.2f of --benchmark after %d s (%d failed fetch%s)" % (
        rates[-1] / bench_rate, seconds, failures, "" if failures == 1 else "es")


def sigint_while_a_call_hangs(_seconds):
    node = start_node(*UNREACHABLE)
    miner = harness.Miner(harness.mining_args(node.url, threads=1))
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
          ("every block refused", every_block_refused), ("our blocks go in", our_blocks_go_in),
          ("a block every 1/8 s", a_block_every_eighth_second),
          ("tips every 10 ms", tips_every_10_ms), ("two nodes alternate", two_nodes_alternate),
          ("node down", node_down), ("node hangs", node_hangs), ("on a backup node", on_a_backup_node),
          ("one HTTP 503", one_http_503), ("SIGINT, call held", sigint_while_a_call_hangs)]


def cpu_name():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--miner", default=os.path.join(ROOT, "build", "tamrix-miner"))
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--only", help="run the states whose name contains this")
    options = parser.parse_args(argv)
    harness.MINER = os.path.abspath(options.miner)
    link_runner.LINK_PROBE = os.path.join(os.path.dirname(harness.MINER), "tests", "e2e", "link_probe")
    if not harness.miner_available():
        sys.exit("node_request_rates.py: no miner at %s" % harness.MINER)
    print("%s, %d CPUs; %.0f s a state" % (cpu_name(), os.cpu_count(), options.seconds), flush=True)
    for name, measure_state in STATES:
        if options.only and options.only not in name:
            continue
        print("%-20s %s" % (name, measure_state(options.seconds)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
