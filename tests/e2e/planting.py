"""Planting a block's solution at a chosen distance into the miner's CPU search.

The miner's CPU workers walk consecutive nonces upward from 0x80000000, each
claiming a chunk at a time. To
know in advance which nonce the miner must find, and how much hashing it
takes to get there, this module

  1. starts a development node with a target of a chosen compact form,
  2. rebuilds with hashlib (devnode_blocks.header_for, the encodings the
     node checks blocks with) the exact 80-byte header the miner builds from
     that node's template (coinbase, SHA3-256 merkle root, header fields),
  3. scans the nonces from 0x80000000 with nonce_scan (the miner's own
     kernel) for the first one that meets the target, and
  4. keeps the node when that first solution lies close to the distance
     wanted, or else tries again with another --seed, which changes the
     previous block hash and so the whole header.

The node's "bits" is the compact form of its --target, and bits is part of
the header, so the target cannot be tuned after the header is known; only
targets that share one compact form are open, a band about 1/mantissa wide.
The band is chosen so that one hash in `distance` meets its top, and the
node is given the top of the band: every earlier nonce's hash lies above it,
the planted one on or below.

The node runs without --tick-curtime, so its template keeps the curtime it
was made with until a block is accepted, and the header stays the same for
as long as the miner looks for the planted nonce.

Environment: TAMRIX_MINER (rate calibration), TAMRIX_NONCE_SCAN (the scan
tool), TAMRIX_DEVNODE (through harness).

Run as a program it is the demonstration that bench/planted_solution.sh
prints: python3 planting.py SECONDS [THREADS].
"""

import hashlib
import os
import random
import re
import struct
import subprocess
import sys
import time

from harness import ACCEPTED_RE, MINER, NEW_BLOCK_RE, REWARD_ADDRESS, DevNode, Miner, mining_args
from devnode_blocks import compact_bits, header_for  # importable once harness is

NONCE_SCAN = os.environ.get("TAMRIX_NONCE_SCAN", "")
CPU_START_NONCE = 0x80000000  # where the miner's CPU workers begin each search
CPU_CHUNK = 1 << 16  # nonces a worker claims at a time (kCpuChunk), walked in order
SOLUTION_RE = re.compile(r"^\*\*\* CPU SOLUTION! Nonce: (\d+) \*\*\*$")
RATE_RE = re.compile(r"^CPU: ([0-9.]+) (H|kH|MH|GH)/s$", re.M)
RATE_SCALE = {"H": 1.0, "kH": 1e3, "MH": 1e6, "GH": 1e9}
# The first solution must land within this share of the distance asked for.
# The lower bound keeps it clear of what less hashing would reach; with an
# upper bound of twice the distance about one seed in three qualifies.
DEFAULT_WINDOW = (0.7, 2.0)
DEFAULT_TRIES = 25
# Transactions and a witness commitment, so that the rebuilt header covers
# every part of the layout.
DEFAULT_NODE_ARGS = ("--txs", 2, "--witness")


class PlantingFailed(Exception):
    """No seed gave a first solution inside the window within the tries."""


def scan_available():
    return bool(NONCE_SCAN) and os.access(NONCE_SCAN, os.X_OK)


# ---------------------------------------------------------------- the header as the miner builds it

def pow_value(header, nonce):
    """The number compared with the target: the first 32 bytes of the
    header's SHA3-512 digest, little-endian, with `nonce` in bytes 76..79."""
    full = header[:76] + struct.pack("<I", nonce)
    return int.from_bytes(hashlib.sha3_512(full).digest()[:32], "little")


# ---------------------------------------------------------------- targets of one compact form

def compact_band(distance):
    """(bits, lowest, highest) of the targets sharing the compact form of the
    target that one hash in `distance` meets."""
    bits = compact_bits((1 << 256) // distance - 1)
    size, mantissa = bits >> 24, bits & 0x7FFFFF
    shift = 8 * (size - 3)
    lowest, highest = mantissa << shift, ((mantissa + 1) << shift) - 1
    assert compact_bits(lowest) == bits == compact_bits(highest), "band %08x" % bits
    return bits, lowest, highest


# ---------------------------------------------------------------- scanning and calibrating

def scan(header, start, count, target, stride=1):
    """(index, nonce) of the first nonce of start, start + stride, ... (at
    most count) that meets target, per nonce_scan; None when there is none.
    The hash the tool reports is checked against hashlib."""
    reply = subprocess.run([NONCE_SCAN, header.hex(), str(start), str(count), "%064x" % target, str(stride)],
                           capture_output=True, text=True, timeout=600)
    if reply.returncode != 0:
        raise RuntimeError("nonce_scan failed (%d): %s" % (reply.returncode, reply.stderr))
    words = reply.stdout.split()
    if words == ["none"]:
        return None
    if len(words) != 4 or words[0] != "found":
        raise RuntimeError("nonce_scan printed %r" % reply.stdout)
    index, nonce, digest = int(words[1]), int(words[2]), bytes.fromhex(words[3])
    if nonce != (start + index * stride) & 0xFFFFFFFF or int.from_bytes(digest, "little") != pow_value(header, nonce):
        raise RuntimeError("nonce_scan's answer disagrees with hashlib: %r" % reply.stdout)
    return index, nonce


def single_thread_rate(miner=None):
    """Hashes per second of the miner's CPU search on one thread, from its
    own one-second benchmark."""
    reply = subprocess.run([miner or MINER, "--benchmark", "--cpu-only", "--cpu-threads", "1",
                            "--bench-duration", "1"], capture_output=True, text=True, timeout=60)
    match = RATE_RE.search(reply.stdout)
    if reply.returncode != 0 or not match:
        raise RuntimeError("no CPU rate from the benchmark: %r %r" % (reply.stdout, reply.stderr))
    return float(match.group(1)) * RATE_SCALE[match.group(2)]


# ---------------------------------------------------------------- planting

class Plant:
    """A running development node whose current template's first solution,
    counting from 0x80000000, is `nonce`, `index` nonces in."""

    def __init__(self, node, header, target, nonce, index, distance, seed, tries):
        self.node = node
        self.header = header
        self.target = target
        self.nonce = nonce
        self.index = index
        self.distance = distance
        self.seed = seed
        self.tries = tries

    def describe(self):
        return "nonce %d, %d hashes past 0x%08x (asked for %d; seed %d, try %d), target %064x" % (
            self.nonce, self.index, CPU_START_NONCE, self.distance, self.seed, self.tries, self.target)


def node_header(node):
    """The header the miner will build from the node's current template."""
    template = node.call("getblocktemplate", {"rules": ["segwit"]})
    script = bytes.fromhex(node.call("validateaddress", REWARD_ADDRESS)["scriptPubKey"])
    return template, header_for(template, script)


def plant(distance, node_args=DEFAULT_NODE_ARGS, window=DEFAULT_WINDOW, tries=DEFAULT_TRIES,
          rng=None):
    """A Plant whose first solution lies between window[0] and window[1]
    times `distance` hashes past 0x80000000. The caller kills plant.node."""
    rng = rng or random.Random()
    bits, _, target = compact_band(distance)
    lowest_index, count = int(window[0] * distance), int(window[1] * distance)
    for attempt in range(1, tries + 1):
        seed = rng.randrange(1 << 32)
        node = DevNode("--target", "%064x" % target, "--seed", seed, "--quiet", *node_args).start()
        try:
            template, header = node_header(node)
            if template["bits"] != "%08x" % bits or int(template["target"], 16) != target:
                raise RuntimeError("node serves bits %s target %s for --target %064x" % (
                    template["bits"], template["target"], target))
            found = scan(header, CPU_START_NONCE, count, target)
        except BaseException:
            node.kill()
            raise
        if found and found[0] >= lowest_index:
            index, nonce = found
            assert pow_value(header, nonce) <= target
            return Plant(node, header, target, nonce, index, distance, seed, attempt)
        node.kill()
    raise PlantingFailed("no first solution between %d and %d hashes in %d seeds (bits %08x)" % (
        lowest_index, count, tries, bits))


# ---------------------------------------------------------------- demonstration

def demonstrate(seconds, threads):
    """Plants at `seconds` of one thread's hashing, runs the miner, and
    prints how long it took to find and get the planted block accepted.
    0 when the node accepted the planted nonce as the miner's first solution."""
    rate = single_thread_rate()
    print("single-thread rate: %.2f MH/s" % (rate / 1e6), flush=True)
    started = time.monotonic()
    planted = plant(int(rate * seconds))
    print("planted nonce %d: %d hashes past 0x%08x, %.2f s of one thread's hashing "
          "(seed %d, %d seed(s) tried, %.1f s of planting)" % (
              planted.nonce, planted.index, CPU_START_NONCE, planted.index / rate, planted.seed,
              planted.tries, time.monotonic() - started), flush=True)
    miner = Miner(mining_args(planted.node.url, threads=threads))
    limit = 10 + 4 * planted.index / rate
    try:
        deadline = time.monotonic() + limit
        while not miner.matches(ACCEPTED_RE) and miner.process.poll() is None and time.monotonic() < deadline:
            time.sleep(0.02)
        lines = miner.timed_lines()
        accepted = planted.node.stats()["accepted"]
    finally:
        miner.kill()
        planted.node.kill()

    def first_arrival(regex):
        return next(((t - miner.started, regex.match(text)) for t, text in lines if regex.match(text)),
                    (None, None))

    found_at, solution = first_arrival(SOLUTION_RE)
    accepted_at, _ = first_arrival(ACCEPTED_RE)
    units = sum(1 for _, text in lines if NEW_BLOCK_RE.match(text))
    if solution and int(solution.group(1)) == planted.nonce and accepted_at is not None and accepted:
        print("miner on %d thread(s): found nonce %s %.2f s after it started, accepted by the node "
              "at %.2f s, over %d work units" % (threads, solution.group(1), found_at, accepted_at, units))
        return 0
    print("miner on %d thread(s): planted nonce not found and accepted within %.0f s (first solution: "
          "%s; %d work units; node accepted %d)" % (
              threads, limit, solution.group(1) if solution else "none", units, accepted))
    return 1


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: TAMRIX_MINER=... TAMRIX_NONCE_SCAN=... planting.py SECONDS [THREADS]")
    sys.exit(demonstrate(float(sys.argv[1]), int(sys.argv[2]) if len(sys.argv) == 3 else 1))
