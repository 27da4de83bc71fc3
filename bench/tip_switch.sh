#!/usr/bin/env bash
# How soon the miner hashes on a new chain tip: bench_tip_switch against the
# development node, whose tip it moves at random moments, first with the
# node's longpoll (the link's watch hears of the tip) and then with a node
# that offers none (the link's once-a-second refresh alone). One line each:
#   longpoll: 30 tip changes | to the first hash, ms: min 2.1 median 3.0 p90 4.2 max 6.0
#
# Usage: bench/tip_switch.sh BUILD_DIR [CHANGES]
# (BUILD_DIR is a build with benchmarks, holding bench/bench_tip_switch)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: bench/tip_switch.sh BUILD_DIR [CHANGES]}
binary=$(realpath "$build/bench/bench_tip_switch")
[[ -x $binary ]] || { echo "tip_switch.sh: no $binary; build the bench_tip_switch target" >&2; exit 2; }
for mode in longpoll "clock only"; do
  python3 - "$root" "$binary" "${2:-30}" "$mode" <<'PY'
import os, subprocess, sys
root, binary, changes, mode = sys.argv[1:5]
sys.path.insert(0, os.path.join(root, "tests", "e2e"))
os.environ.setdefault("TAMRIX_DEVNODE", os.path.join(root, "tools", "devnode.py"))
import harness
node_args = ["--target", "0" * 63 + "1", "--quiet"] + ([] if mode == "longpoll" else ["--no-longpoll"])
with harness.DevNode(*node_args) as node:
    done = subprocess.run([binary, node.url, changes, mode], capture_output=True, text=True)
line = [l for l in done.stderr.splitlines() if "tip changes" in l]
if done.returncode != 0 or not line:
    sys.exit("bench_tip_switch failed:\n" + done.stderr[-2000:])
print(line[-1], flush=True)
PY
done
