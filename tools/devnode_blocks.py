"""Block encodings and an independent block checker, with nothing but hashlib.

The development node builds its templates and judges every submitted block
with these; the end-to-end tests rebuild from a template the exact header
the miner must build. Both go through this one module, so an encoding is
written once in Python, apart from the miner's own C++.
"""

import hashlib
import re
import struct

TEMPLATE_VERSION = 0x20000000
# How far past the node's clock a header's time may be, as real nodes allow.
MAX_FUTURE_BLOCK_TIME = 2 * 60 * 60
WITNESS_COMMITMENT_HEADER = bytes.fromhex("6a24aa21a9ed")
HEX_RE = re.compile(r"(?:[0-9a-fA-F]{2})*")


class Invalid(Exception):
    """A submitted block broke a rule; the argument is the reason given back."""


# ---------------------------------------------------------------- encodings

def sha3_256(data):
    return hashlib.sha3_256(data).digest()


def pow_hash(header):
    """The block's hash and proof of work, in digest order."""
    return hashlib.sha3_512(header).digest()[:32]


def height_push(height):
    """The coinbase signature script for a template height."""
    if height == 0:
        return b"\x00\x00"
    if 1 <= height <= 16:
        return bytes([0x50 + height, 0x00])
    digits = bytearray()
    rest = height
    while rest:
        digits.append(rest & 0xFF)
        rest >>= 8
    if digits[-1] & 0x80:
        digits.append(0x00)  # keeps the number positive
    return bytes([len(digits)]) + bytes(digits)


def compact_bits(target):
    """The compact form of a target, as real nodes publish it in "bits"."""
    size = (target.bit_length() + 7) // 8
    if size <= 3:
        mantissa = target << (8 * (3 - size))
    else:
        mantissa = target >> (8 * (size - 3))
    if mantissa & 0x800000:  # the top bit would read as a sign
        mantissa >>= 8
        size += 1
    return (size << 24) | mantissa


def merkle_root(leaves):
    """Root over leaves in digest order: SHA3-256 of each pair, the last
    entry of an odd level paired with itself."""
    level = list(leaves)
    while len(level) > 1:
        if len(level) % 2:
            level.append(level[-1])
        level = [sha3_256(level[i] + level[i + 1]) for i in range(0, len(level), 2)]
    return level[0]


def txid_hex(data):
    """A txid as nodes print it: the digest reversed."""
    return sha3_256(data)[::-1].hex()


def coinbase_for(template, script):
    """The coinbase the miner serialises from a getblocktemplate result (a
    dict) and a reward script: one input spending nothing, the reward
    output, the witness commitment output when the template has one."""
    commitment = bytes.fromhex(template.get("default_witness_commitment") or "")
    sig = height_push(template["height"])
    tx = struct.pack("<I", 1) + b"\x01" + b"\x00" * 32 + b"\xff" * 4
    tx += bytes([len(sig)]) + sig + b"\xff" * 4
    tx += bytes([2 if commitment else 1]) + struct.pack("<Q", template["coinbasevalue"])
    tx += bytes([len(script)]) + script
    if commitment:
        tx += struct.pack("<Q", 0) + bytes([len(commitment)]) + commitment
    return tx + b"\x00" * 4  # lock time


def header_for(template, script):
    """The 80-byte header the miner builds from a getblocktemplate result
    and reward script, nonce bytes zero."""
    leaves = [sha3_256(coinbase_for(template, script))]
    leaves += [bytes.fromhex(tx["txid"])[::-1] for tx in template["transactions"]]
    return (struct.pack("<I", template["version"]) + bytes.fromhex(template["previousblockhash"])[::-1]
            + merkle_root(leaves) + struct.pack("<II", template["curtime"], int(template["bits"], 16))
            + b"\x00" * 4)


# ---------------------------------------------------------------- block check

class BlockReader:
    """Reads a serialised block front to back; running out of bytes is the
    given reason."""

    def __init__(self, data, offset):
        self.data = data
        self.offset = offset

    def take(self, count, reason):
        if self.offset + count > len(self.data):
            raise Invalid(reason)
        piece = self.data[self.offset:self.offset + count]
        self.offset += count
        return piece

    def uint(self, size, reason):
        return int.from_bytes(self.take(size, reason), "little")

    def compact_size(self, reason):
        first = self.uint(1, reason)
        if first < 0xFD:
            return first
        return self.uint({0xFD: 2, 0xFE: 4, 0xFF: 8}[first], reason)

    def remaining(self):
        return len(self.data) - self.offset


def read_coinbase(reader):
    """Parses the coinbase and returns (raw bytes, signature script, outputs
    as (value, script) pairs). Its shape is fixed: version 1, one input
    spending nothing, one or two outputs, lock time 0, no witness."""
    start = reader.offset
    if reader.take(4, "bad-cb") != b"\x01\x00\x00\x00":
        raise Invalid("bad-cb")
    if reader.compact_size("bad-cb") != 1:  # a witness marker lands here too
        raise Invalid("bad-cb")
    if reader.take(36, "bad-cb") != b"\x00" * 32 + b"\xff" * 4:
        raise Invalid("bad-cb")
    sig_script = reader.take(reader.compact_size("bad-cb"), "bad-cb")
    if reader.take(4, "bad-cb") != b"\xff" * 4:
        raise Invalid("bad-cb")
    output_count = reader.compact_size("bad-cb")
    if output_count not in (1, 2):
        raise Invalid("bad-cb")
    outputs = []
    for _ in range(output_count):
        value = reader.uint(8, "bad-cb")
        outputs.append((value, reader.take(reader.compact_size("bad-cb"), "bad-cb")))
    if reader.take(4, "bad-cb") != b"\x00" * 4:
        raise Invalid("bad-cb")
    return reader.data[start:reader.offset], sig_script, outputs


def check_block(block_hex, template, known_hashes, reward_scripts, now):
    """Returns the block's hash when it extends the chain by `template`;
    raises Invalid with the reason otherwise. The header time may be any
    value from the first curtime served for this tip up to `now` (the
    node's clock) plus MAX_FUTURE_BLOCK_TIME: a miner that has searched all
    of a header's nonces moves its time forward."""
    if not isinstance(block_hex, str) or not HEX_RE.fullmatch(block_hex):
        raise Invalid("bad-hex")
    block = bytes.fromhex(block_hex)
    if len(block) < 80:
        raise Invalid("bad-header")
    header = block[:80]
    block_hash = pow_hash(header)
    if block_hash in known_hashes:
        raise Invalid("duplicate")
    if header[4:36] != template.prev_hash:
        raise Invalid("bad-prevblk")
    version, = struct.unpack_from("<I", header, 0)
    curtime, bits = struct.unpack_from("<II", header, 68)
    if (version, bits) != (TEMPLATE_VERSION, template.bits):
        raise Invalid("bad-header")
    if curtime < template.earliest_time():
        raise Invalid("time-too-old")
    if curtime > now + MAX_FUTURE_BLOCK_TIME:
        raise Invalid("time-too-new")
    if int.from_bytes(block_hash, "little") > template.target:
        raise Invalid("high-hash")

    reader = BlockReader(block, 80)
    if reader.compact_size("bad-txns") != len(template.txs) + 1:
        raise Invalid("bad-txns")
    coinbase, sig_script, outputs = read_coinbase(reader)
    for data, _ in template.txs:
        if reader.take(len(data), "bad-txns") != data:
            raise Invalid("bad-txns")
    if reader.remaining():
        raise Invalid("bad-txns")

    leaves = [sha3_256(coinbase)] + [bytes.fromhex(txid)[::-1] for _, txid in template.txs]
    if merkle_root(leaves) != header[36:68]:
        raise Invalid("bad-txnmrklroot")
    if sig_script != height_push(template.height):
        raise Invalid("bad-cb-height")
    reward_value, reward_script = outputs[0]
    if reward_value != template.coinbasevalue:
        raise Invalid("bad-cb-amount")
    if reward_script not in reward_scripts:
        raise Invalid("bad-cb-script")
    expected_extra = [] if template.commitment is None else [(0, template.commitment)]
    if outputs[1:] != expected_extra:
        raise Invalid("bad-witness-commitment")
    return block_hash
