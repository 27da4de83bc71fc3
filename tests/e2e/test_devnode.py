"""The development node on its own: its RPC contract, its templates, and its
block checks against blocks this test builds itself with hashlib. No miner
needed."""

import hashlib
import http.client
import json
import signal
import os
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
import urllib.error

from harness import DEVNODE, DevNode, RpcError, free_port

PROXY = os.path.join(os.path.dirname(DEVNODE), "devnode_proxy.py")

# Signature scripts of the height push, as published with the coinbase
# layout: height -> script hex.
HEIGHT_PUSHES = {0: "0000", 1: "5100", 16: "6000", 17: "0111", 127: "017f", 128: "028000",
                 255: "02ff00", 256: "020001", 32768: "03008000", 500000: "0320a107"}


def sha3_256(data):
    return hashlib.sha3_256(data).digest()


def script_of(address):
    return bytes.fromhex("0014") + sha3_256(address.encode())[:20]


def push_for(height):
    """Independent of the node's encoder: the published table where it
    covers the height, else the published rule."""
    if height in HEIGHT_PUSHES:
        return bytes.fromhex(HEIGHT_PUSHES[height])
    if height <= 16:
        return bytes([0x50 + height, 0])
    body = height.to_bytes((height.bit_length() + 7) // 8, "little")
    if body[-1] & 0x80:
        body += b"\x00"
    return bytes([len(body)]) + body


def tree_root(leaves):
    nodes = list(leaves)
    while len(nodes) > 1:
        if len(nodes) % 2 == 1:
            nodes.append(nodes[-1])
        nodes = [sha3_256(left + right) for left, right in zip(nodes[0::2], nodes[1::2])]
    return nodes[0]


def meets(header, target_hex):
    return int.from_bytes(hashlib.sha3_512(header).digest()[:32], "little") <= int(target_hex, 16)


class BlockBuilder:
    """Builds the block a correct miner would submit for a template, with
    any piece replaced to make it wrong in one way."""

    def __init__(self, template, script):
        self.template = template
        self.script = script

    def coinbase(self, **change):
        t = self.template
        sig = change.get("sig", push_for(t["height"]))
        outputs = [(change.get("value", t["coinbasevalue"]), change.get("script", self.script))]
        commitment = change.get("commitment", t.get("default_witness_commitment"))
        if commitment:
            outputs.append((change.get("commitment_value", 0), bytes.fromhex(commitment)))
        outputs += change.get("extra_outputs", [])
        return (change.get("version", b"\x01\x00\x00\x00") + change.get("marker", b"") + b"\x01"
                + b"\x00" * 32 + change.get("prev_index", b"\xff\xff\xff\xff")
                + bytes([len(sig)]) + sig + change.get("sequence", b"\xff\xff\xff\xff")
                + bytes([len(outputs)])
                + b"".join(struct.pack("<Q", v) + bytes([len(s)]) + s for v, s in outputs)
                + change.get("locktime", b"\x00\x00\x00\x00"))

    def block(self, want_pow=True, **change):
        t = self.template
        coinbase = change.get("coinbase") or self.coinbase(**change)
        leaves = [sha3_256(coinbase)] + [bytes.fromhex(tx["txid"])[::-1] for tx in t["transactions"]]
        root = change.get("root", tree_root(leaves))
        prev = change.get("prev", bytes.fromhex(t["previousblockhash"])[::-1])
        head = (struct.pack("<I", change.get("header_version", t["version"])) + prev + root
                + struct.pack("<I", change.get("curtime", t["curtime"]))
                + struct.pack("<I", change.get("bits", int(t["bits"], 16))))
        datas = change.get("tx_datas", [tx["data"] for tx in t["transactions"]])
        count = change.get("count", len(datas) + 1)
        body = bytes([count]).hex() + coinbase.hex() + "".join(datas) + change.get("trailer", "")
        for nonce in range(1 << 20):
            header = head + struct.pack("<I", nonce)
            if meets(header, t["target"]) == want_pow:
                return header.hex() + body, header
        raise AssertionError("no nonce found")


class NodeTestCase(unittest.TestCase):
    def start(self, *args, **kw):
        node = DevNode(*args, **kw).start()
        self.addCleanup(node.kill)
        return node


class ProcessContract(NodeTestCase):
    def test_listening_line_and_final_counts(self):
        port = free_port()
        node = self.start("--zero-bits", 4, port=port)
        self.assertEqual(node.url, "http://127.0.0.1:%d" % port)
        node.call("validateaddress", "miner")
        builder = BlockBuilder(node.call("getblocktemplate", {"rules": ["segwit"]}), script_of("miner"))
        self.assertIsNone(node.call("submitblock", builder.block()[0]))
        self.assertEqual(node.call("submitblock", "00"), "bad-header")
        code, out = node.stop(signal.SIGINT)
        self.assertEqual((code, out), (0, "devnode: accepted 1, rejected 1\n"))

    def test_sigterm_exits_cleanly(self):
        node = self.start()
        self.assertEqual(node.stop(signal.SIGTERM), (0, "devnode: accepted 0, rejected 0\n"))

    def test_http_contract(self):
        node = self.start()
        body = '{"jsonrpc":"1.0","id":1,"method":"getstats","params":[]}'
        self.assertEqual(node.request(body, auth=False)[0], 401)
        node.password = "wrong"
        self.assertEqual(node.request(body)[0], 401)
        node.password = "tamrix"
        status, reply = node.request(body)
        self.assertEqual(status, 200)
        self.assertEqual(json.loads(reply)["result"]["accepted"], 0)
        with self.assertRaises(RpcError) as unknown:
            node.call("getnothing")
        self.assertEqual(unknown.exception.status, 404)
        self.assertEqual(json.loads(unknown.exception.body)["error"]["code"], -32601)
        with self.assertRaises(RpcError):
            node.call("getblocktemplate")  # without the segwit rule
        self.assertEqual(node.request("{not json")[0], 500)

    def test_custom_credentials_and_busy_port(self):
        node = self.start(user="alice", password="a:b")
        self.assertIsNone(node.stats()["last_reject"])
        busy = DevNode(port=node.port)
        with self.assertRaises(RuntimeError):
            busy.start()
        self.assertEqual(busy.process.returncode, 1)


class Addresses(NodeTestCase):
    def test_valid_and_invalid(self):
        node = self.start()
        for address in ("a", "0", "tamrixdev1qminer", "z" * 90):
            with self.subTest(address=address):
                self.assertEqual(node.call("validateaddress", address),
                                 {"isvalid": True, "address": address,
                                  "scriptPubKey": script_of(address).hex()})
        for address in ("", "z" * 91, "Tamrix", "tam rix", "tamrix_1", "caf\u00e9", 5, None, ["a"]):
            with self.subTest(address=address):
                self.assertEqual(node.call("validateaddress", address), {"isvalid": False})


class Templates(NodeTestCase):
    def test_fields_and_difficulty(self):
        node = self.start("--zero-bits", 12, "--txs", 3, "--witness", "--height", 77)
        t = node.call("getblocktemplate", {"rules": ["segwit"]})
        self.assertEqual(t["target"], "%064x" % (2 ** 244 - 1))
        self.assertEqual(t["height"], 77)
        for name in ("version", "curtime", "coinbasevalue"):
            self.assertIsInstance(t[name], int, name)
        self.assertRegex(t["bits"], r"^[0-9a-f]{8}$")
        self.assertRegex(t["previousblockhash"], r"^[0-9a-f]{64}$")
        self.assertRegex(t["default_witness_commitment"], r"^6a24aa21a9ed[0-9a-f]{64}$")
        self.assertEqual(len(t["transactions"]), 3)
        for tx in t["transactions"]:
            self.assertEqual(tx["txid"], sha3_256(bytes.fromhex(tx["data"]))[::-1].hex())
        self.assertEqual(t, node.call("getblocktemplate", {"rules": ["segwit"]}))  # stable
        self.assertIn("time", t["mutable"])
        self.assertRegex(t["longpollid"], r"^%s\d+$" % t["previousblockhash"])

        explicit = "00000000ffff" + "0" * 52
        t = self.start("--target", explicit).call("getblocktemplate", {"rules": ["segwit"]})
        self.assertEqual((t["target"], t["transactions"]), (explicit, []))
        self.assertNotIn("default_witness_commitment", t)

    def test_chain_moves_on_with_each_accepted_block(self):
        node = self.start("--zero-bits", 6, "--txs", "0,1,2,3", "--witness", "alternate", "--height", 15)
        node.call("validateaddress", "miner")
        seen = []
        for step in range(8):
            t = node.call("getblocktemplate", {"rules": ["segwit"]})
            seen.append((len(t["transactions"]), "default_witness_commitment" in t))
            self.assertEqual(t["height"], 15 + step)
            block_hex, header = BlockBuilder(t, script_of("miner")).block()
            self.assertIsNone(node.call("submitblock", block_hex))
            nxt = node.call("getblocktemplate", {"rules": ["segwit"]})
            self.assertEqual(nxt["previousblockhash"], hashlib.sha3_512(header).digest()[:32][::-1].hex())
        self.assertEqual(seen, [(0, False), (1, False), (2, False), (3, False),
                                (0, True), (1, True), (2, True), (3, True)])
        stats = node.stats()
        self.assertEqual((stats["accepted"], stats["rejected"], stats["height"]), (8, 0, 22))
        self.assertEqual([b["height"] for b in stats["blocks"]], list(range(15, 23)))


def transaction_length(data):
    """Bytes one serialised transaction (no witness) takes from the front of
    `data`, read field by field; a shape the reader does not know fails."""
    offset = 0

    def take(count):
        nonlocal offset
        if offset + count > len(data):
            raise AssertionError("transaction runs past its data")
        offset += count
        return data[offset - count:offset]

    def compact_size():
        first = take(1)[0]
        return first if first < 0xFD else int.from_bytes(take({0xFD: 2, 0xFE: 4, 0xFF: 8}[first]), "little")

    take(4)  # version
    for _ in range(compact_size()):
        take(36)
        take(compact_size())
        take(4)
    for _ in range(compact_size()):
        take(8)
        take(compact_size())
    take(4)  # lock time
    return offset


class CurtimeTicks(NodeTestCase):
    GBT = {"rules": ["segwit"]}

    def test_curtime_follows_the_clock_only_when_asked(self):
        ticking = self.start("--tick-curtime", "--txs", 2)
        fixed = self.start("--txs", 2)
        before = [node.call("getblocktemplate", self.GBT) for node in (ticking, fixed)]
        time.sleep(1.2)
        after = [node.call("getblocktemplate", self.GBT) for node in (ticking, fixed)]
        self.assertGreater(after[0]["curtime"], before[0]["curtime"])
        self.assertLessEqual(abs(after[0]["curtime"] - time.time()), 2)
        self.assertEqual(dict(after[0], curtime=before[0]["curtime"]), before[0])  # nothing else moves
        self.assertEqual(after[1], before[1])

    def test_header_time_from_the_first_curtime_served_to_two_hours_ahead(self):
        # A miner that has searched every nonce of a header moves its time
        # forward, as far as a real node accepts.
        node = self.start("--tick-curtime", "--zero-bits", 6, "--txs", 1, "--witness")
        node.call("validateaddress", "miner")
        first = node.call("getblocktemplate", self.GBT)
        time.sleep(1.2)
        second = node.call("getblocktemplate", self.GBT)
        self.assertNotEqual(first["curtime"], second["curtime"])
        builder = BlockBuilder(second, script_of("miner"))
        too_new = int(time.time()) + 7200 + 60
        self.assertEqual(node.call("submitblock", builder.block(curtime=too_new)[0]), "time-too-new")
        self.assertEqual(node.call("submitblock", builder.block(curtime=first["curtime"] - 1)[0]),
                         "time-too-old")
        self.assertIsNone(node.call("submitblock", builder.block(curtime=first["curtime"])[0]))
        nxt = node.call("getblocktemplate", self.GBT)
        self.assertEqual(nxt["height"], second["height"] + 1)
        rolled = BlockBuilder(nxt, script_of("miner")).block(curtime=nxt["curtime"] + 600)[0]
        self.assertIsNone(node.call("submitblock", rolled))
        self.assertEqual(node.stats()["accepted"], 2)

    def test_fixed_curtime_rolls_forward_too(self):
        node = self.start("--zero-bits", 6)
        node.call("validateaddress", "miner")
        t = node.call("getblocktemplate", self.GBT)
        builder = BlockBuilder(t, script_of("miner"))
        self.assertEqual(node.call("submitblock", builder.block(curtime=t["curtime"] - 1)[0]), "time-too-old")
        self.assertIsNone(node.call("submitblock", builder.block(curtime=t["curtime"] + 7000)[0]))


class Longpoll(NodeTestCase):
    GBT = {"rules": ["segwit"]}

    def held_call(self, node, longpollid, timeout=30):
        """Starts a getblocktemplate with `longpollid` on a thread; the
        returned dict fills in with the result and the seconds it took."""
        outcome = {}

        def run():
            started = time.monotonic()
            outcome["result"] = node.call("getblocktemplate", dict(self.GBT, longpollid=longpollid),
                                          timeout=timeout)
            outcome["seconds"] = time.monotonic() - started

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        outcome["thread"] = thread
        return outcome

    def wait_held(self, node, count):
        deadline = time.monotonic() + 10
        while node.stats()["longpoll"]["held"] != count:
            self.assertLess(time.monotonic(), deadline, "the longpoll was not held")
            time.sleep(0.02)

    def test_held_until_another_miner_moves_the_tip(self):
        node = self.start("--longpoll-hold", 30, "--height", 40)
        t = node.call("getblocktemplate", self.GBT)
        held = [self.held_call(node, t["longpollid"]) for _ in range(2)]
        self.wait_held(node, 2)
        # Other requests go on being answered meanwhile.
        self.assertEqual(node.call("getblocktemplate", self.GBT), t)
        self.assertEqual(node.stats()["height"], 39)
        moved = node.call("devnode_newtip")
        self.assertEqual(moved["height"], 40)
        self.assertRegex(moved["hash"], r"^[0-9a-f]{64}$")
        for outcome in held:
            outcome["thread"].join(10)
            self.assertEqual(outcome["result"]["previousblockhash"], moved["hash"])
            self.assertEqual(outcome["result"]["height"], 41)
        new = node.call("getblocktemplate", self.GBT)
        self.assertEqual(new["longpollid"], held[0]["result"]["longpollid"])
        self.assertNotEqual(new["longpollid"], t["longpollid"])
        stats = node.stats()
        self.assertEqual((stats["height"], stats["tip_hash"], stats["foreign_blocks"], stats["accepted"]),
                         (40, moved["hash"], 1, 0))
        self.assertEqual(stats["longpoll"], {"held": 0, "new_tip": 2, "stale_id": 0, "hold_limit": 0,
                                             "client_gone": 0})

        # An id that is already stale is answered at once; so is an id that
        # names nothing.
        for stale in (t["longpollid"], "nonsense", 5):
            outcome = self.held_call(node, stale)
            outcome["thread"].join(10)
            self.assertEqual(outcome["result"], new)
        self.assertEqual(node.stats()["longpoll"]["stale_id"], 3)

    def test_an_accepted_block_answers_the_held_request(self):
        node = self.start("--zero-bits", 6, "--longpoll-hold", 30)
        node.call("validateaddress", "miner")
        t = node.call("getblocktemplate", self.GBT)
        held = self.held_call(node, t["longpollid"])
        self.wait_held(node, 1)
        block_hex, header = BlockBuilder(t, script_of("miner")).block()
        self.assertIsNone(node.call("submitblock", block_hex))
        held["thread"].join(10)
        self.assertEqual(held["result"]["previousblockhash"], hashlib.sha3_512(header).digest()[:32][::-1].hex())

    def test_hold_limit_answers_with_the_same_tip(self):
        node = self.start("--longpoll-hold", 1)
        t = node.call("getblocktemplate", self.GBT)
        held = self.held_call(node, t["longpollid"])
        held["thread"].join(10)
        self.assertEqual(held["result"], t)
        self.assertGreaterEqual(held["seconds"], 0.9)
        self.assertEqual(node.stats()["longpoll"]["hold_limit"], 1)

    def test_a_client_that_hangs_up_is_not_waited_for(self):
        node = self.start("--longpoll-hold", 30)
        t = node.call("getblocktemplate", self.GBT)
        with self.assertRaises((socket.timeout, TimeoutError)):
            node.call("getblocktemplate", dict(self.GBT, longpollid=t["longpollid"]), timeout=0.3)
        deadline = time.monotonic() + 5
        while node.stats()["longpoll"]["client_gone"] != 1:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        self.assertEqual(node.stats()["longpoll"]["held"], 0)

    def test_without_longpoll(self):
        node = self.start("--no-longpoll")
        t = node.call("getblocktemplate", self.GBT)
        self.assertNotIn("longpollid", t)
        started = time.monotonic()
        self.assertEqual(node.call("getblocktemplate", dict(self.GBT, longpollid="x")), t)
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(node.stats()["longpoll"]["stale_id"], 0)

    def test_calls_are_timed_for_rates(self):
        node = self.start()
        before = node.stats()
        for _ in range(3):
            node.call("getblocktemplate", self.GBT)
        after = node.stats()
        times = after["call_times"]["getblocktemplate"]
        self.assertEqual(len(times), 3)
        self.assertEqual(times, sorted(times))
        self.assertTrue(before["uptime"] <= times[0] and times[-1] <= after["uptime"])
        self.assertEqual(after["calls"]["getstats"], 2)
        self.assertEqual(len(after["call_times"]["getstats"]), 2)


class TransactionSize(NodeTestCase):
    GBT = {"rules": ["segwit"]}

    def test_every_transaction_has_the_size_asked_for(self):
        # 82 is the default shape; 83..90 grow its script; 91 and more add
        # padding outputs, a second one past 343 bytes.
        for size in (82, 83, 90, 91, 333, 343, 344, 1000):
            with self.subTest(size=size):
                node = self.start("--tx-size", size, "--txs", 4)
                for tx in node.call("getblocktemplate", self.GBT)["transactions"]:
                    data = bytes.fromhex(tx["data"])
                    self.assertEqual((len(data), transaction_length(data)), (size, size))
                    self.assertEqual(tx["txid"], sha3_256(data)[::-1].hex())
                node.kill()
        for size in (81, 60001, "x"):
            with self.subTest(size=size), self.assertRaises(RuntimeError):
                DevNode("--tx-size", size).start()

    def test_default_transactions_keep_their_shape(self):
        node = self.start("--txs", 3)
        for tx in node.call("getblocktemplate", self.GBT)["transactions"]:
            data = bytes.fromhex(tx["data"])
            self.assertEqual(len(data), 82)
            self.assertEqual(data[46:47], b"\x01")  # one output

    def test_large_template_is_checked_like_any_other(self):
        node = self.start("--tx-size", 333, "--txs", 40, "--zero-bits", 6, "--tick-curtime")
        node.call("validateaddress", "miner")
        t = node.call("getblocktemplate", self.GBT)
        datas = [tx["data"] for tx in t["transactions"]]
        b = BlockBuilder(t, script_of("miner"))
        self.assertEqual(node.call("submitblock", b.block(root=b"\x22" * 32)[0]), "bad-txnmrklroot")
        self.assertEqual(node.call("submitblock", b.block(tx_datas=datas[:-1] + [datas[-1][:-2]])[0]), "bad-txns")
        self.assertEqual(node.call("submitblock", b.block(tx_datas=datas[1:] + datas[:1])[0]), "bad-txns")
        self.assertIsNone(node.call("submitblock", b.block()[0]))

    def test_three_thousand_transactions_make_a_two_megabyte_reply(self):
        node = self.start("--tx-size", 333, "--txs", 3000, "--tick-curtime")
        body = json.dumps({"id": 1, "method": "getblocktemplate", "params": [self.GBT]})
        status, first = node.request(body)
        self.assertEqual(status, 200)
        self.assertGreater(len(first), 2_000_000)
        t = json.loads(first)["result"]
        self.assertEqual(len(t["transactions"]), 3000)
        self.assertEqual({len(tx["data"]) for tx in t["transactions"]}, {666})
        status, again = node.request(body)
        self.assertEqual(dict(json.loads(again)["result"], curtime=t["curtime"]), t)


class BlockChecks(NodeTestCase):
    def setUp(self):
        self.node = self.start("--zero-bits", 8, "--txs", 3, "--witness", "--height", 300)
        self.node.call("validateaddress", "miner")
        self.template = self.node.call("getblocktemplate", {"rules": ["segwit"]})
        self.builder = BlockBuilder(self.template, script_of("miner"))

    def submit(self, block_hex):
        return self.node.call("submitblock", block_hex)

    def test_each_fault_has_its_reason_then_the_right_block_is_accepted(self):
        b = self.builder
        t = self.template
        good, header = b.block()
        datas = [tx["data"] for tx in t["transactions"]]
        wrong_commitment = t["default_witness_commitment"][:-2] + "00"
        cases = [
            ("bad-hex", "zz" + good[2:]), ("bad-hex", good[:-1]), ("bad-hex", 5),
            ("bad-header", good[:158]),
            ("bad-header", b.block(header_version=1)[0]),
            ("time-too-old", b.block(curtime=t["curtime"] - 1)[0]),
            ("time-too-new", b.block(curtime=int(time.time()) + 7200 + 120)[0]),
            ("bad-header", b.block(bits=int(t["bits"], 16) ^ 1)[0]),
            ("bad-prevblk", b.block(prev=b"\x00" * 32)[0]),
            ("high-hash", b.block(want_pow=False)[0]),
            ("bad-txns", b.block(count=5)[0]),
            ("bad-txns", b.block(count=3, tx_datas=datas[:2])[0]),
            ("bad-txns", b.block(tx_datas=[datas[1], datas[0], datas[2]])[0]),
            ("bad-txns", b.block(tx_datas=datas[:2] + ["00" + datas[2][2:]])[0]),
            ("bad-txns", b.block(trailer="00")[0]),
            ("bad-cb", b.block(version=b"\x02\x00\x00\x00")[0]),
            ("bad-cb", b.block(marker=b"\x00\x01")[0]),
            ("bad-cb", b.block(prev_index=b"\x00\x00\x00\x00")[0]),
            ("bad-cb", b.block(sequence=b"\x00\x00\x00\x00")[0]),
            ("bad-cb", b.block(locktime=b"\x01\x00\x00\x00")[0]),
            ("bad-txnmrklroot", b.block(root=b"\x11" * 32)[0]),
            ("bad-cb-height", b.block(sig=push_for(301))[0]),
            ("bad-cb-height", b.block(sig=bytes.fromhex("032c0100"))[0]),  # 300, not minimal
            ("bad-cb-height", b.block(sig=push_for(300) + b"\x00")[0]),
            ("bad-cb-amount", b.block(value=t["coinbasevalue"] - 1)[0]),
            ("bad-cb-amount", b.block(value=t["coinbasevalue"] + 1)[0]),
            ("bad-cb-script", b.block(script=script_of("nobody"))[0]),
            ("bad-cb-script", b.block(script=script_of("miner")[:-1])[0]),
            ("bad-witness-commitment", b.block(commitment="")[0]),
            ("bad-witness-commitment", b.block(commitment=wrong_commitment)[0]),
            ("bad-witness-commitment", b.block(commitment_value=1)[0]),
        ]
        for reason, block_hex in cases:
            with self.subTest(reason=reason, block=str(block_hex)[:20]):
                self.assertEqual(self.submit(block_hex), reason)
        stats = self.node.stats()
        self.assertEqual((stats["accepted"], stats["rejected"], stats["invalid"]), (0, len(cases), len(cases)))
        self.assertEqual(self.node.call("getblocktemplate", {"rules": ["segwit"]}), t)  # unchanged

        self.assertIsNone(self.submit(good))
        self.assertEqual(self.submit(good), "duplicate")
        self.assertEqual(self.submit(b.block(value=t["coinbasevalue"] - 1)[0]), "bad-prevblk")  # stale
        stats = self.node.stats()
        self.assertEqual((stats["accepted"], stats["height"], stats["last_reject"]), (1, 300, "bad-prevblk"))
        self.assertEqual(stats["blocks"][0]["hash"], hashlib.sha3_512(header).digest()[:32][::-1].hex())

    def test_upper_case_hex_is_accepted(self):
        self.assertIsNone(self.submit(self.builder.block()[0].upper()))

    def test_extra_output_without_a_commitment_in_the_template(self):
        node = self.start("--zero-bits", 4)
        node.call("validateaddress", "miner")
        b = BlockBuilder(node.call("getblocktemplate", {"rules": ["segwit"]}), script_of("miner"))
        self.assertEqual(node.call("submitblock", b.block(extra_outputs=[(0, b"\x6a")])[0]),
                         "bad-witness-commitment")

    def test_reject_on_request_keeps_the_template(self):
        node = self.start("--zero-bits", 4, "--reject-next", 1)
        node.call("validateaddress", "miner")
        t = node.call("getblocktemplate", {"rules": ["segwit"]})
        block_hex = BlockBuilder(t, script_of("miner")).block()[0]
        self.assertEqual(node.call("submitblock", block_hex), "high-hash")
        self.assertEqual(node.call("getblocktemplate", {"rules": ["segwit"]}), t)
        node.make_hostile("reject", count=1)
        self.assertEqual(node.call("submitblock", block_hex), "high-hash")
        self.assertIsNone(node.call("submitblock", block_hex))
        stats = node.stats()
        self.assertEqual((stats["accepted"], stats["rejected"], stats["invalid"], stats["forced_rejects"]),
                         (1, 2, 0, 2))


class HeightPush(NodeTestCase):
    def test_published_encodings_are_accepted_and_short_forms_refused(self):
        for height, push in HEIGHT_PUSHES.items():
            with self.subTest(height=height):
                node = self.start("--zero-bits", 4, "--height", height)
                node.call("validateaddress", "miner")
                b = BlockBuilder(node.call("getblocktemplate", {"rules": ["segwit"]}), script_of("miner"))
                if height <= 16:  # the one-byte form without its trailing 00
                    self.assertEqual(node.call("submitblock", b.block(sig=bytes.fromhex(push[:2]))[0]),
                                     "bad-cb-height")
                self.assertIsNone(node.call("submitblock", b.block(sig=bytes.fromhex(push))[0]))
                node.kill()


class HostileReplies(NodeTestCase):
    """Each hook spoils exactly the replies it was asked to, as it says."""

    def setUp(self):
        self.node = self.start("--txs", 1, "--witness")
        self.gbt = json.dumps({"jsonrpc": "1.0", "id": 1, "method": "getblocktemplate",
                               "params": [{"rules": ["segwit"]}]})

    def spoiled(self, mode, method="getblocktemplate", **kw):
        self.node.make_hostile(mode, **kw)
        body = self.gbt if method == "getblocktemplate" else json.dumps(
            {"id": 1, "method": method, "params": ["miner"]})
        return self.node.request(body)

    def test_body_modes(self):
        normal = self.node.request(self.gbt)[1]
        status, body = self.spoiled("truncated")
        self.assertTrue(normal.startswith(body) and len(body) < len(normal))
        self.assertRaises(ValueError, json.loads, body)
        status, body = self.spoiled("huge")
        self.assertGreaterEqual(len(body), 50 * 1024 * 1024)
        self.assertEqual(json.loads(body)["result"]["height"], 1)
        self.assertRaises(ValueError, json.loads, self.spoiled("not-json")[1])
        self.assertRaises(UnicodeDecodeError, self.spoiled("bad-utf8")[1].decode, "utf-8")
        body = self.spoiled("deep-nesting")[1]
        self.assertTrue(body.startswith(b'{"result": ' + b"[" * 100000 + b"]"))
        self.assertEqual(self.spoiled("empty"), (200, b""))
        status, body = self.spoiled("http-500")
        self.assertEqual(status, 500)
        self.assertIn(b"<html>", body)
        self.assertEqual(self.node.request(self.gbt), (200, normal))  # all used up

    def test_node_error_and_small_value_modes(self):
        status, body = self.spoiled("busy-503")
        self.assertEqual((status, body), (503, b"Work queue depth exceeded"))
        status, body = self.spoiled("syncing")
        self.assertEqual((status, json.loads(body)["result"], json.loads(body)["error"]["code"]), (500, None, -10))
        status, body = self.spoiled("decode-failed", method="submitblock")
        self.assertEqual((status, json.loads(body)["error"]),
                         (500, {"code": -22, "message": "Block decode failed"}))
        self.assertEqual(self.node.stats()["rejected"], 0)  # the block was not looked at
        cap = 32 * 1024 * 1024
        for mode, value in (("many-objects", b"{}"), ("many-arrays", b"[]"), ("many-zeros", b"0")):
            status, body = self.spoiled(mode)
            self.assertTrue(cap - 2 <= len(body) <= cap, (mode, len(body)))
            # Rebuilt rather than parsed: Python would need gigabytes for it.
            count = body.count(b",") + 1
            self.assertEqual(body, b'{"result":[' + (value + b",") * (count - 1) + value + b"]}", mode)

    def test_field_modes(self):
        def result(mode, method="getblocktemplate"):
            return json.loads(self.spoiled(mode, method)[1])["result"]
        self.assertEqual(len(result("long-script", "validateaddress")["scriptPubKey"]), 600)
        self.assertEqual(len(result("long-commitment")["default_witness_commitment"]), 600)
        many = result("many-txs")["transactions"]
        self.assertEqual(len(many), 70000)
        self.assertEqual(many[5]["txid"], sha3_256(bytes.fromhex(many[5]["data"]))[::-1].hex())
        self.assertEqual(result("height-string")["height"], "x")
        self.assertEqual(result("negative-height")["height"], -5)
        self.assertEqual(result("txs-number")["transactions"], 5)
        self.assertEqual(result("value-string")["coinbasevalue"], "lots")
        self.assertEqual(len(result("short-target")["target"]), 4)
        self.assertNotIsInstance(result("tx-entries")["transactions"][0]["data"], str)
        self.assertEqual(result("result-array"), [])

    def test_connection_modes_and_counting(self):
        self.node.make_hostile("close-mid-reply")
        with self.assertRaises(http.client.IncompleteRead):
            self.node.request(self.gbt)
        self.node.make_hostile("slow", delay=2)
        with self.assertRaises((socket.timeout, TimeoutError)):
            self.node.request(self.gbt, timeout=0.3)
        self.node.make_hostile("not-json", count=2)
        self.assertEqual(self.node.call("validateaddress", "miner")["isvalid"], True)  # other method
        self.assertEqual(self.node.stats()["pending_hostile"], {"getblocktemplate": ["not-json"] * 2})
        self.assertRaises(ValueError, json.loads, self.node.request(self.gbt)[1])
        self.assertRaises(ValueError, json.loads, self.node.request(self.gbt)[1])
        self.assertEqual(self.node.request(self.gbt)[0], 200)
        self.assertEqual(self.node.stats()["calls"]["getblocktemplate"], 5)
        with self.assertRaises(RpcError):
            self.node.make_hostile("no-such-mode")
        self.node.make_hostile("not-json", count=3)
        self.node.call("devnode_set", {"clear": True})
        self.assertIn("result", json.loads(self.node.request(self.gbt)[1]))

    def test_the_longpoll_watch_has_a_queue_of_its_own(self):
        # The miner's watch asks for templates on a connection of its own, with
        # JSON-RPC id 2; it must not take the reply meant for the main one.
        watch_gbt = self.gbt.replace('"id": 1', '"id": 2')
        self.node.make_hostile("not-json")
        self.node.make_hostile("http-500", watch=True)
        self.assertEqual(self.node.stats()["pending_hostile"],
                         {"getblocktemplate": ["not-json"], "getblocktemplate (longpoll watch)": ["http-500"]})
        self.assertEqual(self.node.request(watch_gbt)[0], 500)
        self.assertEqual(self.node.request(watch_gbt)[0], 200)
        self.assertRaises(ValueError, json.loads, self.node.request(self.gbt)[1])
        self.assertEqual(self.node.request(self.gbt)[0], 200)
        calls = self.node.stats()["calls"]
        self.assertEqual((calls["getblocktemplate"], calls["getblocktemplate (longpoll watch)"]), (2, 2))

    def test_hostile_option_at_start(self):
        node = self.start("--hostile", "http-500:2", "--hostile", "long-script")
        self.assertEqual(node.request(self.gbt)[0], 500)
        self.assertEqual(node.request(self.gbt)[0], 500)
        self.assertEqual(node.request(self.gbt)[0], 200)
        self.assertEqual(len(node.call("validateaddress", "miner")["scriptPubKey"]), 600)


class ForTheNodeLink(NodeTestCase):
    """What the node link's tests ask of the node: a submission that gets no
    reply, a restart with the chain kept, a tip that moves on its own, and
    two nodes behind one address."""

    GBT = ("getblocktemplate", {"rules": ["segwit"]})

    def solved(self, node):
        template = node.call(*self.GBT)
        script = bytes.fromhex(node.call("validateaddress", "miner")["scriptPubKey"])
        return BlockBuilder(template, script).block()

    def test_a_submission_dropped_before_or_after_the_block_is_taken(self):
        node = self.start("--zero-bits", 4)
        for mode, taken in (("drop", 0), ("drop-after", 1)):
            block_hex, header = self.solved(node)
            before = node.stats()["accepted"]
            node.make_hostile(mode)
            with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
                node.call("submitblock", block_hex)
            self.assertEqual(node.stats()["accepted"] - before, taken, mode)
            # Sent again: in, or known already.
            self.assertEqual(node.call("submitblock", block_hex), None if taken == 0 else "duplicate", mode)
        self.assertEqual(node.stats()["accepted"], 2)

    def test_restart_hangs_up_refuses_and_comes_back_with_the_chain(self):
        node = self.start("--zero-bits", 4)
        block_hex, header = self.solved(node)
        self.assertIsNone(node.call("submitblock", block_hex))
        tip = node.stats()["tip_hash"]
        self.assertEqual(node.call("devnode_restart", 1.5), {"down_for": 1.5})
        time.sleep(0.8)  # the server looks for its shutdown twice a second
        with self.assertRaises(urllib.error.URLError) as refused:
            node.call("getstats")
        self.assertIsInstance(refused.exception.reason, ConnectionRefusedError)
        deadline = time.monotonic() + 10
        while True:
            try:
                stats = node.stats()
                break
            except (ConnectionError, urllib.error.URLError):
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.1)
        self.assertEqual((stats["tip_hash"], stats["accepted"]), (tip, 1))
        self.assertEqual(node.call("submitblock", block_hex), "duplicate")
        with self.assertRaises(RpcError):
            node.call("devnode_restart", "soon")

    def test_the_tip_moves_on_a_clock(self):
        node = self.start("--newtip-every", 50)
        first = node.stats()["height"]
        time.sleep(1.0)
        moved = node.stats()["foreign_blocks"]
        self.assertGreaterEqual(moved, 10)
        self.assertLessEqual(moved, 22)
        self.assertGreaterEqual(node.stats()["height"], first + moved)

    def test_a_proxy_alternates_between_two_nodes(self):
        nodes = [self.start("--seed", seed) for seed in (1, 2)]
        proxy = subprocess.Popen([sys.executable, PROXY] + [n.url for n in nodes], stdout=subprocess.PIPE, text=True)
        self.addCleanup(proxy.wait)
        self.addCleanup(proxy.terminate)
        url = proxy.stdout.readline().split()[-1]
        via = DevNode(port=int(url.rsplit(":", 1)[1]))
        tips = [via.call(*self.GBT)["previousblockhash"] for _ in range(4)]
        self.assertEqual(tips[0], tips[2])
        self.assertEqual(tips[1], tips[3])
        self.assertNotEqual(tips[0], tips[1])
        # A longpoll id from one node is news to the other: answered at once.
        held = dict(self.GBT[1], longpollid=via.call(*self.GBT)["longpollid"])
        started = time.monotonic()
        self.assertNotEqual(via.call("getblocktemplate", held)["previousblockhash"], tips[0])
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual([n.stats()["calls"]["getblocktemplate"] for n in nodes], [3, 3])


if __name__ == "__main__":
    unittest.main()
