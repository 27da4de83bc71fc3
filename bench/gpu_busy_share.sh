#!/usr/bin/env bash
# How busy the mining loop keeps a fast GPU: a simulated device (R hashes a
# second, default 3.8e9) through the loop with the real node client, against
# the development node's large and small ticking templates, 15 s each, with
# --gpu-only and with --cpu-threads 1. One line per run:
#   busy 0.98 | 1.0 getblocktemplate/s | status 3.71 GH/s | template large | --gpu-only | repeats 0
#
# Usage: bench/gpu_busy_share.sh BUILD_DIR [SECONDS [R [BATCH_SIZE]]]
# (BUILD_DIR is a build with benchmarks, holding bench/bench_gpu_busy_share)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: bench/gpu_busy_share.sh BUILD_DIR [SECONDS [R [BATCH_SIZE]]]}
binary=$build/bench/bench_gpu_busy_share
[[ -x $binary ]] || { echo "gpu_busy_share.sh: no $binary; build the bench_gpu_busy_share target" >&2; exit 2; }
exec python3 "$root/bench/gpu_busy_share.py" "$(realpath "$binary")" --seconds "${2:-15}" --rate "${3:-3.8e9}" \
  --batch-size "${4:-0}"
