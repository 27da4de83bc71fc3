#!/usr/bin/env python3
"""A proxy that hands each JSON-RPC request to the next of several nodes in
turn, as a load balancer in front of nodes that do not agree on their tip
would, on every connection: every other template names another tip, and a longpoll id one node
gave is news to the other, which answers it at once. For the tests and
benches of the miner's node link.

    python3 tools/devnode_proxy.py http://127.0.0.1:18001 http://127.0.0.1:18002

prints "devnode_proxy listening on http://127.0.0.1:PORT" and serves until
SIGINT or SIGTERM. Requests pass with their headers' Authorization; a node
that does not answer makes the proxy hang up. Only the Python standard
library is used.
"""

import argparse
import http.client
import itertools
import signal
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

HELD_REPLY_LIMIT = 600  # seconds a node may hold a request (a longpoll)


class AlternatingProxy(ThreadingHTTPServer):
    """Every request goes to the node after the one its connection's last
    request went to; each new connection starts at the node after the one
    the last new connection started at. So a client that keeps its
    connection (libcurl does) meets the nodes in turn on it, and so does
    one that opens a connection per request."""

    daemon_threads = True

    def __init__(self, address, upstreams):
        self.upstreams = upstreams
        self.first_turns = itertools.count()
        self.turn_lock = threading.Lock()
        super().__init__(address, ProxyHandler)

    def first_turn(self):
        with self.turn_lock:
            return next(self.first_turns)


class ProxyHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True

    def log_message(self, format, *args):
        pass

    def setup(self):
        super().setup()
        self.turn = self.server.first_turn()

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        host, port = self.server.upstreams[self.turn % len(self.server.upstreams)]
        self.turn += 1
        upstream = http.client.HTTPConnection(host, port, timeout=HELD_REPLY_LIMIT)
        try:
            upstream.request("POST", "/", body, {"Content-Type": "application/json",
                                                 "Authorization": self.headers.get("Authorization", "")})
            reply = upstream.getresponse()
            status, answer = reply.status, reply.read()
            self.send_response(status)
            self.send_header("Content-Type", reply.getheader("Content-Type", "application/json"))
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)
        except (OSError, http.client.HTTPException):
            self.close_connection = True  # the node or the client went away
        finally:
            upstream.close()


def host_and_port(url):
    parts = urllib.parse.urlsplit(url)
    if not parts.hostname or not parts.port:
        raise argparse.ArgumentTypeError("expected http://HOST:PORT, got %r" % url)
    return parts.hostname, parts.port


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0, help="port; 0 picks a free one (default: %(default)s)")
    parser.add_argument("nodes", nargs="+", type=host_and_port, metavar="URL", help="the nodes, taken in turn")
    options = parser.parse_args(argv)
    proxy = AlternatingProxy(("127.0.0.1", options.port), options.nodes)
    stop = threading.Event()
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, lambda *_: stop.set())
    threading.Thread(target=proxy.serve_forever, daemon=True).start()
    print("devnode_proxy listening on http://127.0.0.1:%d" % proxy.server_address[1], flush=True)
    while not stop.wait(0.2):
        pass
    proxy.shutdown()
    proxy.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
