"""Replies that misbehave on purpose, for testing how the miner copes.

Each mode names the method it spoils unless told otherwise and what it does.
A mode either spoils the node's real reply (which the caller produces only
when asked, so a mode that stands in for the call leaves the chain alone) or
replaces it with a reply of its own.
"""

import collections
import copy
import json

from devnode_blocks import WITNESS_COMMITMENT_HEADER, txid_hex

# mode -> (the method it applies to unless told otherwise, what it does)
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
    "many-objects": ("getblocktemplate", '{"result":[{},{},...]} filling the 32 MiB reply cap'),
    "many-arrays": ("getblocktemplate", '{"result":[[],[],...]} filling the 32 MiB reply cap'),
    "many-zeros": ("getblocktemplate", '{"result":[0,0,...]} filling the 32 MiB reply cap'),
    "http-500": ("getblocktemplate", "HTTP 500 with an HTML page"),
    "busy-503": ("getblocktemplate", "HTTP 503 with a plain-text body, as a node whose work queue is full"),
    "syncing": ("getblocktemplate", "HTTP 500 and error -10, as a node still downloading blocks"),
    "decode-failed": ("submitblock", 'HTTP 500 and error -22 "Block decode failed"; the block is not looked at'),
    "close-mid-reply": ("getblocktemplate", "the connection closed half way through the body"),
    "empty": ("getblocktemplate", "an empty body"),
    "slow": ("getblocktemplate", "the reply held back (35 s unless a delay is given)"),
    "reject": ("submitblock", "the next block answered high-hash, even if valid, and not added"),
    "escape-target": ("getblocktemplate", 'a "target" of 64 characters that clear the screen and set the title'),
    "escape-error": ("getblocktemplate", "HTTP 500 and an error message full of terminal controls"),
    "escape-503": ("getblocktemplate", "HTTP 503 with a plain-text body of raw terminal controls"),
    "escape-reject": ("submitblock", "the block refused with a reason full of terminal controls"),
    "drop": ("submitblock", "the connection closed without a reply; the block is not looked at"),
    "drop-after": ("submitblock", "the block taken as usual, then the connection closed without a reply"),
}
HUGE_REPLY_BYTES = 50 * 1024 * 1024
REPLY_CAP_BYTES = 32 * 1024 * 1024  # the largest reply the miner reads
LONG_FIELD_CHARS = 600
MANY_TXS = 70000
NESTING_DEPTH = 100000
DEFAULT_SLOW_DELAY = 35.0
SMALL_VALUES = {"many-objects": b"{}", "many-arrays": b"[]", "many-zeros": b"0"}
# The errors a node of this family gives, as (HTTP status, code, message).
NODE_ERRORS = {
    "syncing": (500, -10, "Node is downloading blocks and cannot make a template yet"),
    "decode-failed": (500, -22, "Block decode failed"),
}
BUSY_TEXT = b"Work queue depth exceeded"
# What a terminal acts on: screen clear, window title, bell, a CSI as C1
# (U+009B) and as a raw byte, a right-to-left override, an isolate.
TERMINAL_CONTROLS = "\x1b[2J\x1b]0;PWNED\x07\u009b2J\u202egnp.exe\u2066x"
ESCAPE_TARGET = ("\x1b[2J\x1b]0;PWNED\x07" + "0" * 64)[:64]
RAW_CONTROLS = b"\x1b]0;PWNED\x07 busy \x9b2J \xe2\x80\xae \xc2\x9b"

# One HTTP reply; with cut_at set, only that many bytes of the body are sent
# before the connection is closed; with status None, nothing is.
Response = collections.namedtuple("Response", "status content_type body cut_at")
HANG_UP = Response(None, None, b"", None)


def small_values_body(value):
    """{"result":[v,v,...]} of exactly REPLY_CAP_BYTES bytes, or one byte
    short where the value's length does not divide the room evenly."""
    head, tail = b'{"result":[', b"]}"
    count = (REPLY_CAP_BYTES - len(head) - len(tail) + 1) // (len(value) + 1)
    return head + (value + b",") * (count - 1) + value + tail


def spoiled_result(mode, result, rng):
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
    elif mode == "escape-target":
        spoiled["target"] = ESCAPE_TARGET
    elif mode == "result-array":
        return []
    else:
        return result
    return spoiled


def spoiled_body(mode, reply):
    """The reply's JSON text spoiled as a whole, as a Response."""
    encoded = json.dumps(reply).encode()
    if mode == "truncated":
        return Response(200, "application/json", encoded[:len(encoded) // 2], None)
    if mode == "huge":
        padding = b"a" * HUGE_REPLY_BYTES
        return Response(200, "application/json", encoded[:-1] + b', "padding": "' + padding + b'"}', None)
    if mode == "bad-utf8":
        return Response(200, "application/json", encoded[:-1] + b', "note": "caf\xc3\x28 \xff\xfe"}', None)
    if mode == "close-mid-reply":
        return Response(200, "application/json", encoded, len(encoded) // 2)
    return Response(200, "application/json", encoded, None)


def replacement(mode, request_id):
    """The reply of a mode that stands in for the call, or None."""
    if mode in NODE_ERRORS:
        status, code, message = NODE_ERRORS[mode]
        body = json.dumps({"result": None, "error": {"code": code, "message": message}, "id": request_id})
        return Response(status, "application/json", body.encode() + b"\n", None)
    if mode in SMALL_VALUES:
        return Response(200, "application/json", small_values_body(SMALL_VALUES[mode]), None)
    if mode == "not-json":
        return Response(200, "application/json", b"this is not JSON: the node is having a bad day\n", None)
    if mode == "deep-nesting":
        return Response(200, "application/json", b'{"result": ' + b"[" * NESTING_DEPTH + b"]" * NESTING_DEPTH
                        + b', "error": null, "id": 1}', None)
    if mode == "http-500":
        page = (b"<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title></head>"
                b"<body><h1>Internal Server Error</h1><p>The node fell over.</p></body></html>\n")
        return Response(500, "text/html", page, None)
    if mode == "busy-503":
        return Response(503, "text/plain", BUSY_TEXT, None)
    if mode == "escape-503":
        return Response(503, "text/plain", RAW_CONTROLS, None)
    if mode == "escape-error":
        body = json.dumps({"result": None, "error": {"code": -1, "message": TERMINAL_CONTROLS}, "id": request_id})
        return Response(500, "application/json", body.encode(), None)
    if mode == "escape-reject":
        body = json.dumps({"result": TERMINAL_CONTROLS, "error": None, "id": request_id})
        return Response(200, "application/json", body.encode(), None)
    if mode == "empty":
        return Response(200, "application/json", b"", None)
    if mode == "drop":
        return HANG_UP
    return None


def hostile_response(mode, request_id, real_reply, rng):
    """The Response for a call that `mode` spoils. `real_reply()` gives the
    node's own (status, reply object); it is called only by the modes that
    spoil it, and a reply that is already an error is passed on as it is."""
    response = replacement(mode, request_id)
    if response is not None:
        return response
    status, reply = real_reply()
    if mode == "drop-after":
        return HANG_UP
    if status != 200 or mode == "slow":
        return Response(status, "application/json", json.dumps(reply).encode() + b"\n", None)
    return spoiled_body(mode, dict(reply, result=spoiled_result(mode, reply["result"], rng)))
