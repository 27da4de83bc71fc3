"""The development node's tip: the templates it serves on it, the longpoll
requests it holds until the tip moves, and the tips other miners' blocks
move it to (on request, or every so often).

devnode.py keeps the chain and serves the calls; this module holds what
changes with the tip. Only the Python standard library is used.
"""

import argparse
import json
import struct
import threading
import time

from devnode_blocks import TEMPLATE_VERSION, WITNESS_COMMITMENT_HEADER, compact_bits, sha3_256, txid_hex

BLOCK_SUBSIDY = 50 * 100_000_000
DEFAULT_LONGPOLL_HOLD = 60.0  # seconds; a real node answers after about a minute with the same tip
GONE_CHECK_INTERVAL = 0.5  # how often a held request looks whether its client has hung up


class EncodedResult(bytes):
    """A reply's "result" that is already JSON text, spliced in as it is."""


# ---------------------------------------------------------------- synthetic content

# The default synthetic transaction: version, one input with an empty
# signature script, one output paying a 22-byte script, lock time.
SMALLEST_TX_BYTES = 4 + 1 + 36 + 1 + 4 + 1 + (8 + 1 + 22) + 4
LARGEST_TX_BYTES = 60_000  # keeps the output count in one byte
PADDING_OUTPUT_MAX = 8 + 1 + 252  # value, one-byte script length, script


def padding_output_sizes(extra):
    """Sizes of the zero-value outputs that add exactly `extra` bytes (each
    9 to 261 bytes long): as few as will do, as even as possible."""
    count = -(-extra // PADDING_OUTPUT_MAX)
    share, rest = divmod(extra, count)
    return [share + 1] * rest + [share] * (count - rest)


def synthetic_transaction(rng, size=None):
    """A transaction that looks serialised: one input, one output, and when
    `size` is given, exactly `size` bytes long. Up to 8 bytes more go into
    the output script; more than that into extra OP_RETURN outputs."""
    extra = 0 if size is None else size - SMALLEST_TX_BYTES
    # Drawn in the order of the default shape, so a seed gives the same
    # transactions it always gave when no size is asked for.
    previous_output = rng.randbytes(32) + struct.pack("<I", rng.randrange(4))
    value = struct.pack("<Q", rng.randrange(10_000, 5_000_000_000))
    script = b"\x00\x14" + rng.randbytes(20)
    padding = []
    if 0 < extra < 9:  # too little for an output of its own
        script += rng.randbytes(extra)
    elif extra >= 9:
        padding = padding_output_sizes(extra)
    outputs = (value + bytes([len(script)]) + script
               + b"".join(b"\x00" * 8 + bytes([n - 9]) + (b"\x6a" + rng.randbytes(n - 10) if n > 9 else b"")
                          for n in padding))
    return (struct.pack("<I", 2) + b"\x01" + previous_output + b"\x00" + b"\xfd\xff\xff\xff"
            + bytes([1 + len(padding)]) + outputs + b"\x00\x00\x00\x00")


# ---------------------------------------------------------------- templates

class Template:
    """One block template: what getblocktemplate serves and what a submitted
    block is held against."""

    def __init__(self, height, prev_hash, target, txs, with_witness, curtime, serial, longpoll):
        self.height = height
        self.prev_hash = prev_hash  # digest order, as it stands in the header
        # As a real node's: the tip and a counter, so that it names this
        # template; None when longpoll is not offered.
        self.longpollid = "%s%d" % (prev_hash[::-1].hex(), serial) if longpoll else None
        self.target = target
        self.txs = txs  # list of (data bytes, txid hex)
        self.curtime = curtime  # the one served now
        self.mintime = curtime - 600
        self.earliest_served = None  # the oldest curtime served; a block's time may not be older
        self.encoded = None  # as_json() as JSON text, made when first needed
        self.bits = compact_bits(target)
        self.fees = sum(len(data) * 10 for data, _ in txs)
        self.coinbasevalue = BLOCK_SUBSIDY + self.fees
        self.commitment = None
        if with_witness:
            self.commitment = WITNESS_COMMITMENT_HEADER + sha3_256(
                b"witness" + struct.pack("<i", height) + b"".join(data for data, _ in txs))

    def as_json(self):
        reply = {
            "version": TEMPLATE_VERSION,
            "rules": ["segwit"],
            "previousblockhash": self.prev_hash[::-1].hex(),
            "transactions": [
                {"data": data.hex(), "txid": txid, "hash": txid, "fee": len(data) * 10}
                for data, txid in self.txs
            ],
            "coinbasevalue": self.coinbasevalue,
            "target": "%064x" % self.target,
            "mintime": self.mintime,
            "curtime": self.curtime,
            "bits": "%08x" % self.bits,
            "height": self.height,
            "noncerange": "00000000ffffffff",
            # The header time may move forward, up to two hours past this
            # node's clock (devnode_blocks.MAX_FUTURE_BLOCK_TIME).
            "mutable": ["time", "transactions", "prevblock"],
        }
        if self.longpollid is not None:
            reply["longpollid"] = self.longpollid
        if self.commitment is not None:
            reply["default_witness_commitment"] = self.commitment.hex()
        return reply

    def serve_curtime(self, now):
        """Moves curtime to `now`, as a node does between blocks."""
        if now != self.curtime:
            self.curtime = now
            self.encoded = None

    def mark_served(self):
        if self.earliest_served is None or self.curtime < self.earliest_served:
            self.earliest_served = self.curtime

    def earliest_time(self):
        """The oldest header time a block on this template may carry."""
        return self.curtime if self.earliest_served is None else self.earliest_served

    def as_text(self):
        """as_json() encoded, kept until the template or its curtime
        changes: a large template costs one encoding, not one per call."""
        if self.encoded is None:
            self.encoded = EncodedResult(json.dumps(self.as_json()).encode())
        return self.encoded


def template_plan(options, index):
    """How many transactions, and whether a witness commitment, the
    index-th template of this run carries."""
    txs = options.txs[index % len(options.txs)]
    if options.witness == "always":
        return txs, True
    if options.witness == "alternate":
        return txs, (index // len(options.txs)) % 2 == 1
    return txs, False



# ---------------------------------------------------------------- the command line's say in templates

def tx_counts(text):
    try:
        counts = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError("expected N or a list such as 0,1,2,3")
    if not counts or min(counts) < 0:
        raise argparse.ArgumentTypeError("transaction counts must be 0 or more")
    return counts


def tx_size(text):
    try:
        size = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("expected a number of bytes")
    if not SMALLEST_TX_BYTES <= size <= LARGEST_TX_BYTES:
        raise argparse.ArgumentTypeError("between %d and %d bytes" % (SMALLEST_TX_BYTES, LARGEST_TX_BYTES))
    return size



# ---------------------------------------------------------------- longpoll and tips

def next_template(node):
    """The template on the node's tip, the next of this run's plan."""
    tx_count, with_witness = template_plan(node.options, node.templates_made)
    node.templates_made += 1
    txs = []
    for _ in range(tx_count):
        data = synthetic_transaction(node.rng, node.options.tx_size)
        txs.append((data, txid_hex(data)))
    return Template(node.tip_height + 1, node.tip_hash, node.options.target, txs, with_witness,
                    int(time.time()), node.templates_made, node.options.longpoll)



def hold_longpoll(node, longpollid, hold, client_gone):
    """Returns once the node's template is no longer the one `longpollid`
    names (at once when it already is not), after `hold` seconds, or once
    the client has hung up; the caller then serves the current template."""
    deadline = time.monotonic() + hold
    with node.lock:
        if node.template.longpollid != longpollid:
            node.longpoll["stale_id"] += 1
            return
        node.longpoll["held"] += 1
        try:
            while node.template.longpollid == longpollid:
                left = deadline - time.monotonic()
                if left <= 0:
                    node.longpoll["hold_limit"] += 1
                    return
                if client_gone():
                    node.longpoll["client_gone"] += 1
                    return
                node.tip_moved.wait(min(left, GONE_CHECK_INTERVAL))
            node.longpoll["new_tip"] += 1
        finally:
            node.longpoll["held"] -= 1


def new_tip_from_elsewhere(node, log):
    """Moves the tip as another miner's block on the current template would;
    returns the new tip's height and hash (as the next template's
    previousblockhash shows it)."""
    with node.lock:
        template = node.template
        node.foreign_blocks += 1
        block_hash = sha3_256(b"devnode block of another miner %d " % node.foreign_blocks + template.prev_hash)
        node.extend_chain(template, block_hash)
    log("tip moved to height %d by another miner's block %s" % (template.height, block_hash[::-1].hex()))
    return {"height": template.height, "hash": block_hash[::-1].hex()}


def start_tip_mover(node, interval, log, stop):
    """Moves the tip every `interval` seconds, as a busy chain does, on a
    thread of its own, until `stop` is set."""
    def move():
        while not stop.wait(interval):
            new_tip_from_elsewhere(node, log)
    thread = threading.Thread(target=move, daemon=True)
    thread.start()
    return thread
