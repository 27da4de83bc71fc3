#!/usr/bin/env python3
"""Development node for tamrix-miner.

Serves getblocktemplate, validateaddress, submitblock and getstats as
JSON-RPC 1.0 over HTTP with basic authentication, keeps a small chain of the
blocks it accepts, and checks every submitted block on its own with nothing
but hashlib: header fields, coinbase layout, transaction section, merkle root
and proof of work. Templates carry a "longpollid": a getblocktemplate that
sends it back is held until the tip changes (or --longpoll-hold passes), as
a real node does. devnode_newtip moves the tip as another miner's block
would (--newtip-every does so on a clock); devnode_restart takes the node
down for a while with its chain kept, as a restart does. Test hooks make
chosen replies misbehave on purpose.

The block encodings and the checker live in devnode_blocks.py, the
templates, longpoll holds and tip moves in devnode_tips.py, the replies that
misbehave in devnode_hostile.py; this file holds the chain and the
HTTP/JSON-RPC server.

    python3 tools/devnode.py --port 0 --zero-bits 16 --txs 0,1,2,3 --witness
    python3 tools/devnode.py --tick-curtime --txs 3000 --tx-size 333   # a 2 MB template

Only the Python standard library is used.
"""

import argparse
import base64
import collections
import json
import random
import re
import select
import signal
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from devnode_blocks import Invalid, check_block, sha3_256
from devnode_hostile import DEFAULT_SLOW_DELAY, HOSTILE_MODES, hostile_response
from devnode_tips import (DEFAULT_LONGPOLL_HOLD, LARGEST_TX_BYTES, SMALLEST_TX_BYTES, EncodedResult, hold_longpoll,
                          new_tip_from_elsewhere, next_template, start_tip_mover, tx_counts, tx_size)

MAX_ADDRESS_CHARS = 90
ADDRESS_RE = re.compile(r"[0-9a-z]{1,%d}" % MAX_ADDRESS_CHARS)
HISTORY_KEPT = 200  # accepted blocks listed by getstats
CALL_TIMES_KEPT = 1000  # per method, the times of the latest calls listed by getstats
# The miner's longpoll watch sends this JSON-RPC id, its main connection 1.
# Hostile replies are queued for one or the other, so that a test which
# spoils the main connection's next template is not foiled by the watch
# taking it first.
LONGPOLL_WATCH_ID = 2


def watch_name(method, from_watch):
    """How getstats names a method, and the hostile queue of its replies:
    the longpoll watch's calls are counted apart from the main connection's."""
    return method + " (longpoll watch)" if from_watch else method


def encode_reply(reply):
    """The reply's JSON text, the same bytes json.dumps gives, with an
    EncodedResult spliced in rather than decoded and encoded again."""
    result = reply.get("result")
    if not isinstance(result, EncodedResult):
        return json.dumps(reply).encode()
    rest = json.dumps({k: v for k, v in reply.items() if k != "result"})
    return b'{"result": ' + result + (b", " + rest[1:].encode() if rest != "{}" else b"}")


# ---------------------------------------------------------------- synthetic content

def script_for_address(address):
    """The output script validateaddress hands out: a 20-byte program."""
    return bytes.fromhex("0014") + sha3_256(address.encode())[:20]


# ---------------------------------------------------------------- node state

class Node:
    """The chain, the current template and the counters. Every method takes
    the lock: the HTTP server answers each connection on its own thread."""

    def __init__(self, options):
        self.options = options
        self.lock = threading.Lock()
        self.tip_moved = threading.Condition(self.lock)  # wakes held longpolls
        self.started = time.monotonic()
        self.rng = random.Random(options.seed)
        self.tip_hash = sha3_256(b"tamrix devnode genesis %d" % options.seed)
        self.tip_height = options.height - 1
        self.known_hashes = {self.tip_hash}
        self.reward_scripts = set()
        self.templates_made = 0
        self.template = next_template(self)
        self.accepted = 0
        self.rejected = 0
        self.invalid = 0  # rejected by the checks, not on purpose
        self.forced_rejects = 0
        self.last_reject = None
        self.history = []
        self.foreign_blocks = 0  # tips moved by devnode_newtip
        self.calls = {}
        self.call_times = {}  # method -> deque of uptimes of the latest calls
        self.longpoll = {"held": 0, "new_tip": 0, "stale_id": 0, "hold_limit": 0, "client_gone": 0}
        self.hostile = {}  # method -> list of pending hostile replies
        self.forced_reject_pending = 0

    def uptime(self):
        return time.monotonic() - self.started

    def count_call(self, method):
        with self.lock:
            self.calls[method] = self.calls.get(method, 0) + 1
            times = self.call_times.setdefault(method, collections.deque(maxlen=CALL_TIMES_KEPT))
            times.append(round(self.uptime(), 4))

    def serving_template(self):
        """The template as served now; with --tick-curtime its curtime
        moves to the clock first. The caller holds the lock."""
        if self.options.tick_curtime:
            self.template.serve_curtime(int(time.time()))
        self.template.mark_served()
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
                block_hash = check_block(block_hex, template, self.known_hashes, self.reward_scripts,
                                         int(time.time()))
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
        self.history.append({"height": template.height, "hash": block_hash[::-1].hex(),
                             "txs": len(template.txs), "witness": template.commitment is not None})
        del self.history[:-HISTORY_KEPT]
        self.extend_chain(template, block_hash)

    def extend_chain(self, template, block_hash):
        """The block on `template` becomes the tip; the caller holds the lock."""
        self.known_hashes.add(block_hash)
        self.tip_hash = block_hash
        self.tip_height = template.height
        self.template = next_template(self)
        self.tip_moved.notify_all()

    def stats(self):
        with self.lock:
            return {
                "accepted": self.accepted,
                "rejected": self.rejected,
                "height": self.tip_height,
                "tip_hash": self.tip_hash[::-1].hex(),
                "foreign_blocks": self.foreign_blocks,
                "uptime": round(self.uptime(), 4),
                "last_reject": self.last_reject,
                "invalid": self.invalid,
                "forced_rejects": self.forced_rejects,
                "calls": dict(self.calls),
                "call_times": {method: list(times) for method, times in self.call_times.items()},
                "longpoll": dict(self.longpoll),
                "blocks": list(self.history),
                "pending_hostile": {m: [h["mode"] for h in q] for m, q in self.hostile.items() if q},
            }

    def queue_hostile(self, mode, count=1, method=None, delay=DEFAULT_SLOW_DELAY, watch=False):
        """Makes the next `count` replies to `method` misbehave as `mode`
        says, on the miner's main connection or, with `watch`, on its
        longpoll watch's; returns an error text, or None when queued."""
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
            method = watch_name(method or HOSTILE_MODES[mode][0], watch)
            self.hostile.setdefault(method, []).extend(
                {"mode": mode, "delay": float(delay)} for _ in range(count))
        return None

    def clear_hostile(self):
        with self.lock:
            self.hostile.clear()
            self.forced_reject_pending = 0

    def take_hostile(self, method, from_watch):
        with self.lock:
            pending = self.hostile.get(watch_name(method, from_watch))
            return pending.pop(0) if pending else None


# ---------------------------------------------------------------- HTTP

class RpcServer(ThreadingHTTPServer):
    daemon_threads = True  # a held-back reply must not delay the exit

    def __init__(self, address, node, options):
        self.node = node
        self.options = options
        self.expected_auth = "Basic " + base64.b64encode(
            ("%s:%s" % (options.user, options.password)).encode()).decode()
        self.restart_for = None  # seconds down, once devnode_restart asks
        self.open_connections = set()
        self.connections_lock = threading.Lock()
        super().__init__(address, RpcHandler)

    def drop_connections(self):
        """Hangs up on every client, as a node that stops does."""
        with self.connections_lock:
            for connection in self.open_connections:
                try:
                    connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

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

    def setup(self):
        super().setup()
        with self.server.connections_lock:
            self.server.open_connections.add(self.connection)

    def finish(self):
        with self.server.connections_lock:
            self.server.open_connections.discard(self.connection)
        super().finish()

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
        from_watch = request_id == LONGPOLL_WATCH_ID and not isinstance(request_id, bool)
        node.count_call(watch_name(str(method), from_watch))

        hostile = node.take_hostile(method, from_watch) if isinstance(method, str) else None
        if not hostile:
            self.send_json(*self.dispatch(method, params, request_id))
            return
        self.server.log("hostile reply to %s: %s" % (method, hostile["mode"]))
        if hostile["mode"] == "slow":
            time.sleep(hostile["delay"])
        self.send_response_of(hostile_response(
            hostile["mode"], request_id, lambda: self.dispatch(method, params, request_id, pre_encoded=False),
            random.Random()))

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
            longpollid = params[0].get("longpollid")
            if longpollid is not None and self.server.options.longpoll:
                hold_longpoll(node, longpollid, self.server.options.longpoll_hold, self.client_gone)
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
        if method == "devnode_newtip":
            return ok(new_tip_from_elsewhere(node, self.server.log))
        if method == "devnode_restart":
            seconds = params[0] if params and isinstance(params[0], (int, float)) else None
            if seconds is None or isinstance(seconds, bool) or seconds < 0:
                return error(500, -8, "devnode_restart SECONDS")
            self.server.restart_for = float(seconds)
            return ok({"down_for": float(seconds)})
        return error(404, -32601, "Method not found")

    def client_gone(self):
        """True once the client has closed its end, so a held longpoll need
        not wait for nobody."""
        try:
            readable, _, _ = select.select([self.connection], [], [], 0)
            return bool(readable) and self.connection.recv(1, socket.MSG_PEEK) == b""
        except OSError:
            return True

    def devnode_set(self, params, ok, error):
        """Test hook: {"mode": m, "count": n, "method": name, "delay": s,
        "watch": bool} queues hostile replies (for the longpoll watch's
        requests with "watch": true, else for the others); {"clear": true}
        drops those pending."""
        node = self.server.node
        settings = params[0] if params and isinstance(params[0], dict) else {}
        if settings.get("clear"):
            node.clear_hostile()
            return ok(node.stats()["pending_hostile"])
        problem = node.queue_hostile(settings.get("mode"), settings.get("count", 1),
                                     settings.get("method"), settings.get("delay", DEFAULT_SLOW_DELAY),
                                     bool(settings.get("watch")))
        if problem:
            return error(500, -8, problem)
        return ok(node.stats()["pending_hostile"])

    def send_response_of(self, response):
        if response.status is None:  # hangs up without a word
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)
            return
        if response.cut_at is None:
            self.send_body(response.status, response.content_type, response.body)
            return
        # Announces the whole body, sends part of it and hangs up.
        self.send_response(response.status)
        self.send_header("Content-Type", response.content_type)
        self.send_header("Content-Length", str(len(response.body)))
        self.end_headers()
        self.wfile.write(response.body[:response.cut_at])
        self.wfile.flush()
        self.close_connection = True
        self.connection.shutdown(socket.SHUT_RDWR)

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
               "params [{\"mode\": M, \"count\": N, \"method\": NAME, \"delay\": SECONDS, "
               "\"watch\": BOOL}], or [{\"clear\": true}]. They spoil the miner's main connection's "
               "replies, or with \"watch\": true only its longpoll watch's (JSON-RPC id " + str(LONGPOLL_WATCH_ID) + ").\n"
               "devnode_restart [SECONDS] hangs up on every client and listens again SECONDS later, "
               "with the chain kept.\n"
               "devnode_newtip moves the tip as another miner's block would and answers "
               "{\"height\": H, \"hash\": HEX} of the new tip.\n"
               "getstats answers {accepted, rejected, height, last_reject, invalid, uptime, calls, "
               "call_times, longpoll, ...}; the longpoll watch's calls count as "
               "\"getblocktemplate (longpoll watch)\".")
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
                        help="curtime follows the clock at each getblocktemplate (default: fixed per "
                             "template); either way a block's time may be anything from the first curtime "
                             "served for its tip to two hours past the node's clock")
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
    parser.add_argument("--no-longpoll", dest="longpoll", action="store_false",
                        help="templates carry no longpollid, and a longpollid sent is ignored")
    parser.add_argument("--longpoll-hold", type=float, default=DEFAULT_LONGPOLL_HOLD, metavar="SECONDS",
                        help="a held longpoll is answered with the same tip after this long "
                             "(default: %(default)s)")
    parser.add_argument("--newtip-every", type=float, default=0, metavar="MS",
                        help="move the tip as another miner's block would every MS milliseconds")
    parser.add_argument("--quiet", action="store_true", help="no log line per submitted block")
    options = parser.parse_args(argv)
    if options.target is None:
        options.target = (1 << (256 - options.zero_bits)) - 1
    if options.height < 0:
        parser.error("--height must be 0 or more")
    if options.longpoll_hold < 0:
        parser.error("--longpoll-hold must be 0 or more")
    if options.newtip_every < 0:
        parser.error("--newtip-every must be 0 or more")
    if options.seed is None:
        options.seed = random.randrange(1 << 32)
    return options


def restarted(server, stop):
    """Takes the node down for the time devnode_restart asked, every client
    hung up on and nothing listening, then serves again on the same port
    with the chain it had; None when a stop came meanwhile."""
    down_for = server.restart_for
    server.log("down for %g s" % down_for)
    server.shutdown()
    server.drop_connections()
    server.server_close()
    if stop.wait(down_for):
        return None
    again = RpcServer(server.server_address[:2], server.node, server.options)
    threading.Thread(target=again.serve_forever, daemon=True).start()
    again.log("listening again")
    return again


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
    if options.newtip_every:
        start_tip_mover(node, options.newtip_every / 1000, lambda text: None, stop)
    while server and not stop.wait(0.05):
        if server.restart_for is not None:
            server = restarted(server, stop)
    if server:
        server.shutdown()
        server.server_close()
    stats = node.stats()
    print("devnode: accepted %d, rejected %d" % (stats["accepted"], stats["rejected"]), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
