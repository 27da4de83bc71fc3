#!/usr/bin/env bash
# Mines a few blocks on this machine's CPU against the bundled development
# node, which checks every submitted block on its own (Python's hashlib).
# What a newcomer sees after `make demo`.
#
# Usage: tools/demo.sh MINER_PATH
set -euo pipefail

miner=${1:?usage: tools/demo.sh MINER_PATH}
if [ ! -x "$miner" ]; then
  echo "demo: $miner is not an executable; build it first (make release)" >&2
  exit 2
fi
tools=$(cd "$(dirname "$0")" && pwd)
threads=$(nproc)
want_blocks=5
time_limit=20
user=tamrix
password=tamrix
address=tamrixdemo1qreward  # any address of [0-9a-z] that the devnode accepts

work=$(mktemp -d)
node_pid=""
miner_pid=""
tail_pid=""
cleanup() {
  for pid in $tail_pid $miner_pid $node_pid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A template stays the same until a block is found, and each work unit
# searches nonces from the same starting point for about a second, so the
# target must be easy enough for that second to hold a solution nearly every
# time: about 0.2 s of hashing a block at this machine's own rate.
echo "== Measuring this machine's CPU hash rate ($threads threads, 1 second)"
bench=$("$miner" --benchmark --cpu-only --cpu-threads "$threads" --bench-duration 1 | grep '^CPU: ' || true)
echo "$bench"
zero_bits=$(python3 - "$bench" <<'EOF'
import math, re, sys
match = re.search(r"([0-9.]+) (H|kH|MH|GH)/s", sys.argv[1])
scale = {"H": 1, "kH": 1e3, "MH": 1e6, "GH": 1e9}
rate = float(match.group(1)) * scale[match.group(2)] if match else 1e5
print(min(28, max(8, round(math.log2(max(rate, 1.0) * 0.2)))))
EOF
)

python3 "$tools/devnode.py" --port 0 --user "$user" --password "$password" --zero-bits "$zero_bits" \
  --txs 0,1,2,3 --witness alternate >"$work/node.out" 2>"$work/node.log" &
node_pid=$!
url=""
for _ in $(seq 100); do
  url=$(sed -n 's/^devnode listening on //p' "$work/node.out")
  [ -n "$url" ] && break
  sleep 0.1
done
if [ -z "$url" ]; then
  echo "demo: the development node did not start:" >&2
  cat "$work/node.log" >&2
  exit 1
fi

echo "== Mining against the development node at $url"
echo "   target: about 2^$zero_bits hashes a block; stops after $want_blocks blocks or ${time_limit} s"
: >"$work/miner.out"  # exists before tail opens it
"$miner" --cpu-only --cpu-threads "$threads" -o "$url" -u "$user" -p "$password" \
  --coinbase-addr="$address" >"$work/miner.out" 2>&1 &
miner_pid=$!
tail -n +1 -f "$work/miner.out" &
tail_pid=$!

deadline=$((SECONDS + time_limit))
while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$miner_pid" 2>/dev/null; do
  found=$(grep -c ' ACCEPTED ' "$work/miner.out" || true)
  [ "$found" -ge "$want_blocks" ] && break
  sleep 0.2
done

miner_status=0
kill -INT "$miner_pid" 2>/dev/null || true
wait "$miner_pid" || miner_status=$?
miner_pid=""
sleep 0.3  # let tail show the miner's last lines
kill "$tail_pid" 2>/dev/null || true
wait "$tail_pid" 2>/dev/null || true
tail_pid=""

read -r accepted rejected < <(python3 - "$url" "$user" "$password" <<'EOF'
import base64, json, sys, urllib.request
url, user, password = sys.argv[1:]
body = b'{"jsonrpc":"1.0","id":1,"method":"getstats","params":[]}'
auth = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
request = urllib.request.Request(url, data=body, headers={"Authorization": "Basic " + auth,
                                                          "Content-Type": "application/json"})
stats = json.load(urllib.request.urlopen(request, timeout=10))["result"]
print(stats["accepted"], stats["rejected"])
EOF
)
accepted=${accepted:-0}
rejected=${rejected:-0}
kill -INT "$node_pid" 2>/dev/null || true
wait "$node_pid" 2>/dev/null || true
node_pid=""

echo
echo "== Demo finished: the development node checked every block on its own and accepted $accepted, rejected $rejected."
if [ "$miner_status" -ne 0 ]; then
  echo "demo: the miner exited with status $miner_status" >&2
  exit 1
fi
if [ "$accepted" -eq 0 ]; then
  echo "demo: no block was accepted" >&2
  exit 1
fi
