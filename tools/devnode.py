#!/usr/bin/env python3
"""Development node for tamrix-miner.

Serves getblocktemplate, validateaddress, submitblock and getstats as
JSON-RPC 1.0 over HTTP with basic authentication, keeps a small chain of the
blocks it accepts, and checks every submitted block on its own with nothing
but hashlib: header fields, coinbase layout, transaction section, merkle root
and proof of work. Test hooks make chosen replies misbehave on purpose.

    python3 tools/devnode.py --port 0 --zero-bits 16 --txs 0,1,2,3 --witness
    python3 tools/devnode.py --tick-curtime --txs 3000 --tx-size 333   # a 2 MB template

Only the Python standard library is used.
"""

import argparse
import base64
import copy
import hashlib
import json
import random
import re
import signal
import socket
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

BLOCK_SUBSIDY = 50 * 100_000_000
TEMPLATE_VERSION = 0x20000000
WITNESS_COMMITMENT_HEADER = bytes.fromhex("6a24aa21a9ed")
MAX_ADDRESS_CHARS = 90
ADDRESS_RE = re.compile(r"[0-9a-z]{1,%d}" % MAX_ADDRESS_CHARS)
HEX_RE = re.compile(r"(?:[0-9a-fA-F]{2})*")
HISTORY_KEPT = 200  # accepted blocks listed by getstats

# Hostile replies: mode -> (the method it applies to unless told otherwise,
# what it does). Used by --hostile and the devnode_set method.
HOSTILE_MODES = {
    "truncated": ("getblocktemplate", "the reply's JSON cut off half way"),
    "huge": ("getblocktemplate", "a 50 MB reply (a valid template padded with one long string)"),
    "long-script": ("validateaddress", "a 600-character scriptPubKey"),
    "long-commitment": ("getblocktemplate", "a 600-character default_witness_commitment"),
    "many-txs": ("getblocktemplate", "70000 transactions"),
    "height-string": ("getblocktemplate", '"height": "x"'),
    "negative-height": ("getblocktemplate", '"height": -5'),
    "txs-number": ("getblocktemplate", '"transactions": 5'),
    "tx-entries": ("getblocktemplate", 'transactions whose "data" and "txid" are not strings'),
    "value-string": ("getblocktemplate", '"coinbasevalue": "lots"'),
    "short-target": ("getblocktemplate", 'a 4-character "target"'),
    "result-array": ("getblocktemplate", '"result": []'),
    "not-json": ("getblocktemplate", "a plain-text body"),
    "bad-utf8": ("getblocktemplate", "invalid UTF-8 inside a JSON string"),
    "deep-nesting": ("getblocktemplate", "100000 nested arrays"),
    "http-500": ("getblocktemplate", "HTTP 500 with an HTML page"),
    "close-mid-reply": ("getblocktemplate", "the connection closed half way through the body"),
    "empty": ("getblocktemplate", "an empty body"),
    "slow": ("getblocktemplate", "the reply held back (35 s unless a delay is given)"),
    "reject": ("submitblock", "the next block answered high-hash, even if valid, and not added"),
}
HUGE_REPLY_BYTES = 50 * 1024 * 1024
LONG_FIELD_CHARS = 600
MANY_TXS = 70000
NESTING_DEPTH = 100000
DEFAULT_SLOW_DELAY = 35.0


class Invalid(Exception):
    """A submitted block broke a rule; the argument is the reason given back."""


class EncodedResult(bytes):
    """A reply's "result" that is already JSON text, spliced in as it is."""


def encode_reply(reply):
    """The reply's JSON text, the same bytes json.dumps gives, with an
    EncodedResult spliced in rather than decoded and encoded again."""
    result = reply.get("result")
    if not isinstance(result, EncodedResult):
        return json.dumps(reply).encode()
    rest = json.dumps({k: v for k, v in reply.items() if k != "result"})
    return b'{"result": ' + result + (b", " + rest[1:].encode() if rest != "{}" else b"}")


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


def script_for_address(address):
    """The output script validateaddress hands out: a 20-byte program."""
    return bytes.fromhex("0014") + sha3_256(address.encode())[:20]


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


def txid_hex(data):
    """A txid as nodes print it: the digest reversed."""
    return sha3_256(data)[::-1].hex()


# ---------------------------------------------------------------- templates

class Template:
    """One block template: what getblocktemplate serves and what a submitted
    block is held against."""

    def __init__(self, height, prev_hash, target, txs, with_witness, curtime):
        self.height = height
        self.prev_hash = prev_hash  # digest order, as it stands in the header
        self.target = target
        self.txs = txs  # list of (data bytes, txid hex)
        self.curtime = curtime  # the one served now
        self.mintime = curtime - 600
        self.served_curtimes = {curtime}  # a block may carry any of them
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
        }
        if self.commitment is not None:
            reply["default_witness_commitment"] = self.commitment.hex()
        return reply

    def serve_curtime(self, now):
        """Moves curtime to `now`, as a node does between blocks."""
        if now != self.curtime:
            self.curtime = now
            self.served_curtimes.add(now)
            self.encoded = None

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


def check_block(block_hex, template, known_hashes, reward_scripts):
    """Returns the block's hash when it extends the chain by `template`;
    raises Invalid with the reason otherwise."""
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
    if (version, bits) != (TEMPLATE_VERSION, template.bits) or curtime not in template.served_curtimes:
        raise Invalid("bad-header")
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


# ---------------------------------------------------------------- node state

class Node:
    """The chain, the current template and the counters. Every method takes
    the lock: the HTTP server answers each connection on its own thread."""

    def __init__(self, options):
        self.options = options
        self.lock = threading.Lock()
        self.rng = random.Random(options.seed)
        self.tip_hash = sha3_256(b"tamrix devnode genesis %d" % options.seed)
        self.tip_height = options.height - 1
        self.known_hashes = {self.tip_hash}
        self.reward_scripts = set()
        self.templates_made = 0
        self.template = self.next_template()
        self.accepted = 0
        self.rejected = 0
        self.invalid = 0  # rejected by the checks, not on purpose
        self.forced_rejects = 0
        self.last_reject = None
        self.history = []
        self.calls = {}
        self.hostile = {}  # method -> list of pending hostile replies
        self.forced_reject_pending = 0

    def next_template(self):
        tx_count, with_witness = template_plan(self.options, self.templates_made)
        self.templates_made += 1
        txs = []
        for _ in range(tx_count):
            data = synthetic_transaction(self.rng, self.options.tx_size)
            txs.append((data, txid_hex(data)))
        return Template(self.tip_height + 1, self.tip_hash, self.options.target, txs, with_witness,
                        int(time.time()))

    def count_call(self, method):
        with self.lock:
            self.calls[method] = self.calls.get(method, 0) + 1

    def serving_template(self):
        """The template as served now; with --tick-curtime its curtime
        moves to the clock first. The caller holds the lock."""
        if self.options.tick_curtime:
            self.template.serve_curtime(int(time.time()))
        return self.template

    def block_template(self):
        """The template as an object, for replies that are spoiled on purpose."""
        with self.lock:
            return self.serving_template().as_json()

    def block_template_text(self):
        with self.lock:
            return self.serving_template().as_text()

    def validate_address(self, address):
        if not isinstance(address, str) or not ADDRESS_RE.fullmatch(address):
            return {"isvalid": False}
        script = script_for_address(address)
        with self.lock:
            self.reward_scripts.add(script)
        return {"isvalid": True, "address": address, "scriptPubKey": script.hex()}

    def submit_block(self, block_hex, log):
        """None when accepted, else the reason."""
        with self.lock:
            template = self.template
            try:
                block_hash = check_block(block_hex, template, self.known_hashes, self.reward_scripts)
            except Invalid as failure:
                reason = str(failure)
                self.rejected += 1
                self.invalid += 1
                self.last_reject = reason
                log("rejected block for height %d: %s" % (template.height, reason))
                return reason
            if self.forced_reject_pending:
                self.forced_reject_pending -= 1
                self.rejected += 1
                self.forced_rejects += 1
                self.last_reject = "high-hash"
                log("rejected a valid block for height %d on request: high-hash" % template.height)
                return "high-hash"
            self.accept(template, block_hash)
            log("accepted block %d (%d txs%s) %s" % (
                template.height, len(template.txs),
                ", witness commitment" if template.commitment else "", block_hash[::-1].hex()))
            return None

    def accept(self, template, block_hash):
        self.accepted += 1
        self.known_hashes.add(block_hash)
        self.tip_hash = block_hash
        self.tip_height = template.height
        self.history.append({"height": template.height, "hash": block_hash[::-1].hex(),
                             "txs": len(template.txs), "witness": template.commitment is not None})
        del self.history[:-HISTORY_KEPT]
        self.template = self.next_template()

    def stats(self):
        with self.lock:
            return {
                "accepted": self.accepted,
                "rejected": self.rejected,
                "height": self.tip_height,
                "last_reject": self.last_reject,
                "invalid": self.invalid,
                "forced_rejects": self.forced_rejects,
                "calls": dict(self.calls),
                "blocks": list(self.history),
                "pending_hostile": {m: [h["mode"] for h in q] for m, q in self.hostile.items() if q},
            }

    def queue_hostile(self, mode, count=1, method=None, delay=DEFAULT_SLOW_DELAY):
        """Makes the next `count` replies to `method` misbehave as `mode`
        says; returns an error text, or None when queued."""
        if mode not in HOSTILE_MODES:
            return "unknown mode %r" % (mode,)
        if not isinstance(count, int) or count < 0:
            return "count must be a non-negative integer"
        if not isinstance(delay, (int, float)) or delay < 0:
            return "delay must be a non-negative number"
        with self.lock:
            if mode == "reject":
                self.forced_reject_pending += count
                return None
            method = method or HOSTILE_MODES[mode][0]
            self.hostile.setdefault(method, []).extend(
                {"mode": mode, "delay": float(delay)} for _ in range(count))
        return None

    def clear_hostile(self):
        with self.lock:
            self.hostile.clear()
            self.forced_reject_pending = 0

    def take_hostile(self, method):
        with self.lock:
            pending = self.hostile.get(method)
            return pending.pop(0) if pending else None


# ---------------------------------------------------------------- hostile replies

def hostile_result(mode, result, rng):
    """The reply's "result" as the field-level modes spoil it."""
    spoiled = copy.deepcopy(result) if isinstance(result, dict) else {}
    if mode == "long-script":
        spoiled["scriptPubKey"] = "0014" + "ab" * ((LONG_FIELD_CHARS - 4) // 2)
    elif mode == "long-commitment":
        spoiled["default_witness_commitment"] = (WITNESS_COMMITMENT_HEADER.hex()
                                                 + "cd" * ((LONG_FIELD_CHARS - 12) // 2))
    elif mode == "many-txs":
        datas = [rng.randbytes(12) for _ in range(MANY_TXS)]
        spoiled["transactions"] = [{"data": d.hex(), "txid": txid_hex(d)} for d in datas]
    elif mode == "height-string":
        spoiled["height"] = "x"
    elif mode == "negative-height":
        spoiled["height"] = -5
    elif mode == "txs-number":
        spoiled["transactions"] = 5
    elif mode == "tx-entries":
        spoiled["transactions"] = [{"data": 5, "txid": []}, "x", None]
    elif mode == "value-string":
        spoiled["coinbasevalue"] = "lots"
    elif mode == "short-target":
        spoiled["target"] = "7fff"
    elif mode == "result-array":
        return []
    else:
        return result
    return spoiled


def hostile_body(mode, reply):
    """(status, content type, body) of a reply spoiled as a whole."""
    encoded = json.dumps(reply).encode()
    if mode == "truncated":
        return 200, "application/json", encoded[:len(encoded) // 2]
    if mode == "huge":
        padding = b"a" * HUGE_REPLY_BYTES
        return 200, "application/json", encoded[:-1] + b', "padding": "' + padding + b'"}'
    if mode == "not-json":
        return 200, "application/json", b"this is not JSON: the node is having a bad day\n"
    if mode == "bad-utf8":
        return 200, "application/json", encoded[:-1] + b', "note": "caf\xc3\x28 \xff\xfe"}'
    if mode == "deep-nesting":
        return 200, "application/json", (b'{"result": ' + b"[" * NESTING_DEPTH + b"]" * NESTING_DEPTH
                                         + b', "error": null, "id": 1}')
    if mode == "http-500":
        page = (b"<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title></head>"
                b"<body><h1>Internal Server Error</h1><p>The node fell over.</p></body></html>\n")
        return 500, "text/html", page
    if mode == "empty":
        return 200, "application/json", b""
    return 200, "application/json", encoded


# ---------------------------------------------------------------- HTTP

class RpcServer(ThreadingHTTPServer):
    daemon_threads = True  # a held-back reply must not delay the exit

    def __init__(self, address, node, options):
        self.node = node
        self.options = options
        self.expected_auth = "Basic " + base64.b64encode(
            ("%s:%s" % (options.user, options.password)).encode()).decode()
        super().__init__(address, RpcHandler)

    def log(self, text):
        if not self.options.quiet:
            print("devnode: " + text, file=sys.stderr, flush=True)

    def handle_error(self, request, client_address):
        # A client that hangs up in the middle of a reply is part of the
        # game here (the miner gives up on huge or slow replies).
        if isinstance(sys.exc_info()[1], (ConnectionError, socket.timeout)):
            return
        super().handle_error(request, client_address)


class RpcHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as libcurl reuses connections
    disable_nagle_algorithm = True  # headers and body go out as two writes
    server_version = "devnode/0.1"

    def log_message(self, format, *args):  # one line per block is enough
        pass

    def do_GET(self):
        self.send_body(405, "text/plain", b"POST JSON-RPC requests here\n")

    def do_POST(self):
        try:
            length = int(self.headers.get("Content-Length") or 0)
        except ValueError:
            self.send_body(400, "text/plain", b"bad Content-Length\n")
            return
        body = self.rfile.read(length)
        if self.headers.get("Authorization") != self.server.expected_auth:
            self.send_body(401, "text/plain", b"", extra_headers={"WWW-Authenticate": 'Basic realm="jsonrpc"'})
            return
        try:
            request = json.loads(body)
            if not isinstance(request, dict):
                raise ValueError("not an object")
        except ValueError:
            self.send_json(500, {"result": None, "error": {"code": -32700, "message": "Parse error"},
                                 "id": None})
            return
        method = request.get("method")
        params = request.get("params")
        params = params if isinstance(params, list) else []
        request_id = request.get("id")
        node = self.server.node
        node.count_call(str(method))

        hostile = node.take_hostile(method) if isinstance(method, str) else None
        if hostile:
            self.server.log("hostile reply to %s: %s" % (method, hostile["mode"]))
            if hostile["mode"] == "slow":
                time.sleep(hostile["delay"])
        status, reply = self.dispatch(method, params, request_id, pre_encoded=not hostile)
        if hostile and status == 200 and hostile["mode"] != "slow":
            self.send_hostile(hostile["mode"], reply)
        else:
            self.send_json(status, reply)

    def dispatch(self, method, params, request_id, pre_encoded=True):
        """(HTTP status, reply object) for one call. With pre_encoded the
        template comes as its cached JSON text; a hostile reply needs the
        object to spoil."""
        node = self.server.node

        def ok(result):
            return 200, {"result": result, "error": None, "id": request_id}

        def error(status, code, message):
            return status, {"result": None, "error": {"code": code, "message": message},
                            "id": request_id}

        if method == "getblocktemplate":
            rules = params[0].get("rules") if params and isinstance(params[0], dict) else None
            if not isinstance(rules, list) or "segwit" not in rules:
                return error(500, -8, "getblocktemplate must be called with the segwit rule set "
                                      "(call with {\"rules\": [\"segwit\"]})")
            return ok(node.block_template_text() if pre_encoded else node.block_template())
        if method == "validateaddress":
            if not params:
                return error(500, -1, "validateaddress \"address\"")
            return ok(node.validate_address(params[0]))
        if method == "submitblock":
            if not params:
                return error(500, -1, "submitblock \"hexdata\"")
            return ok(node.submit_block(params[0], self.server.log))
        if method == "getstats":
            return ok(node.stats())
        if method == "devnode_set":
            return self.devnode_set(params, ok, error)
        return error(404, -32601, "Method not found")

    def devnode_set(self, params, ok, error):
        """Test hook: {"mode": m, "count": n, "method": name, "delay": s}
        queues hostile replies; {"clear": true} drops those pending."""
        node = self.server.node
        settings = params[0] if params and isinstance(params[0], dict) else {}
        if settings.get("clear"):
            node.clear_hostile()
            return ok(node.stats()["pending_hostile"])
        problem = node.queue_hostile(settings.get("mode"), settings.get("count", 1),
                                     settings.get("method"), settings.get("delay", DEFAULT_SLOW_DELAY))
        if problem:
            return error(500, -8, problem)
        return ok(node.stats()["pending_hostile"])

    def send_hostile(self, mode, reply):
        reply = dict(reply, result=hostile_result(mode, reply["result"], random.Random()))
        status, content_type, body = hostile_body(mode, reply)
        if mode == "close-mid-reply":
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body[:len(body) // 2])
            self.wfile.flush()
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        self.send_body(status, content_type, body)

    def send_json(self, status, reply):
        self.send_body(status, "application/json", encode_reply(reply) + b"\n")

    def send_body(self, status, content_type, body, extra_headers=None):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in (extra_headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)


# ---------------------------------------------------------------- command line

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


def target_hex(text):
    if not re.fullmatch(r"[0-9a-fA-F]{64}", text):
        raise argparse.ArgumentTypeError("the target is 64 hex characters")
    return int(text, 16)


def zero_bits(text):
    bits = int(text)
    if not 0 <= bits <= 256:
        raise argparse.ArgumentTypeError("between 0 and 256")
    return bits


def hostile_mode_argument(text):
    mode, _, count = text.partition(":")
    if mode not in HOSTILE_MODES:
        raise argparse.ArgumentTypeError("unknown mode %r (see --help)" % mode)
    try:
        return mode, int(count or 1)
    except ValueError:
        raise argparse.ArgumentTypeError("MODE or MODE:COUNT")


def parse_options(argv):
    modes = "\n".join("  %-16s %s (%s)" % (m, text, method) for m, (method, text) in HOSTILE_MODES.items())
    parser = argparse.ArgumentParser(
        description="Development node for tamrix-miner: serves block templates and checks "
                    "every submitted block independently.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="hostile modes (reply they spoil by default in brackets):\n" + modes +
               "\n\nAt run time the JSON-RPC method devnode_set queues the same modes: "
               "params [{\"mode\": M, \"count\": N, \"method\": NAME, \"delay\": SECONDS}], "
               "or [{\"clear\": true}].\n"
               "getstats answers {accepted, rejected, height, last_reject, invalid, ...}.")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default: %(default)s)")
    parser.add_argument("--port", type=int, default=0, help="port; 0 picks a free one (default: %(default)s)")
    parser.add_argument("--user", default="tamrix", help="RPC user name (default: %(default)s)")
    parser.add_argument("--password", default="tamrix", help="RPC password (default: %(default)s)")
    difficulty = parser.add_mutually_exclusive_group()
    difficulty.add_argument("--zero-bits", type=zero_bits, default=16, metavar="N",
                            help="target 2^(256-N)-1: about 2^N hashes per block (default: %(default)s)")
    difficulty.add_argument("--target", type=target_hex, metavar="HEX64",
                            help="explicit target, 64 hex characters, most significant first")
    parser.add_argument("--txs", type=tx_counts, default=[0], metavar="N[,N...]",
                        help="transactions per template; a list is used in turn (default: 0)")
    parser.add_argument("--tx-size", type=tx_size, default=None, metavar="BYTES",
                        help="each synthetic transaction is exactly BYTES long (%d to %d), padded "
                             "with OP_RETURN outputs; default: %d-byte transactions with one output"
                             % (SMALLEST_TX_BYTES, LARGEST_TX_BYTES, SMALLEST_TX_BYTES))
    parser.add_argument("--tick-curtime", action="store_true",
                        help="curtime follows the clock at each getblocktemplate; a block may carry "
                             "any curtime its template has served (default: fixed per template)")
    parser.add_argument("--witness", nargs="?", const="always", default="never",
                        choices=["never", "always", "alternate"],
                        help="add a default_witness_commitment; 'alternate': none on the first pass "
                             "through the --txs list, one on the next, and so on")
    parser.add_argument("--height", type=int, default=1, help="height of the first template (default: %(default)s)")
    parser.add_argument("--seed", type=int, default=None, help="seed of the synthetic transactions")
    parser.add_argument("--reject-next", type=int, default=0, metavar="N",
                        help="answer the next N valid blocks with high-hash and drop them")
    parser.add_argument("--hostile", type=hostile_mode_argument, action="append", default=[], metavar="MODE[:COUNT]",
                        help="spoil the next COUNT (default 1) replies as MODE says; may be repeated")
    parser.add_argument("--quiet", action="store_true", help="no log line per submitted block")
    options = parser.parse_args(argv)
    if options.target is None:
        options.target = (1 << (256 - options.zero_bits)) - 1
    if options.height < 0:
        parser.error("--height must be 0 or more")
    if options.seed is None:
        options.seed = random.randrange(1 << 32)
    return options


def main(argv):
    options = parse_options(argv)
    node = Node(options)
    for mode, count in options.hostile:
        node.queue_hostile(mode, count)
    node.queue_hostile("reject", options.reject_next)
    try:
        server = RpcServer((options.host, options.port), node, options)
    except OSError as failure:
        print("devnode: cannot listen on %s:%d: %s" % (options.host, options.port, failure.strerror),
              file=sys.stderr)
        return 1

    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    threading.Thread(target=server.serve_forever, daemon=True).start()
    host, port = server.server_address[:2]
    print("devnode listening on http://%s:%d" % (host, port), flush=True)
    server.log("first template height %d, target %064x, transactions %s, witness commitment %s; "
               "RPC user %r" % (options.height, options.target, ",".join(map(str, options.txs)),
                                options.witness, options.user))
    while not stop.wait(0.2):
        pass
    server.shutdown()
    server.server_close()
    stats = node.stats()
    print("devnode: accepted %d, rejected %d" % (stats["accepted"], stats["rejected"]), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
