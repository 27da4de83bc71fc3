#!/usr/bin/env bash
# How busy the mining loop keeps a simulated rig: one card per rate (hashes
# a second), through the loop with the real node link, against the
# development node's large and small ticking templates, SECONDS each, with
# --gpu-only and with --cpu-threads 1. One line per run:
#   busy 0.98 | 1.0 getblocktemplate/s | status 24.3 GH/s | template large | --gpu-only | repeats 0 | cards 0.99 0.98 0.99 0.98
# (busy: the lowest card's share; status: the whole machine's rate; cards:
# each card's share). More arguments go to bench/gpu_busy_share.py:
# --fail CARD:EVERY (a card failing every EVERY s), --lead (a template that
# never changes: when the devices run out of header time), --batch-size N.
#
# Usage: bench/gpu_busy_share.sh BUILD_DIR [SECONDS [RATE[,RATE...] [MORE...]]]
# (BUILD_DIR is a build with benchmarks, holding bench/bench_gpu_busy_share)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: bench/gpu_busy_share.sh BUILD_DIR [SECONDS [RATE[,RATE...] [MORE...]]]}
binary=$build/bench/bench_gpu_busy_share
[[ -x $binary ]] || { echo "gpu_busy_share.sh: no $binary; build the bench_gpu_busy_share target" >&2; exit 2; }
exec python3 "$root/bench/gpu_busy_share.py" "$(realpath "$binary")" --seconds "${2:-15}" --rates "${3:-3.8e9}" \
  "${@:4}"
