#!/usr/bin/env bash
# Plants a block's only early solution SECONDS (default 5) of one thread's
# hashing past where the CPU search starts, runs the miner against the
# development node with THREADS (default 1) CPU threads, and prints the
# planted nonce, its distance in hashes and seconds, and how long the miner
# took to find it and get it accepted. The distance is longer than one work
# unit, so the miner only gets there by carrying its search on across units.
#
# Usage: bench/planted_solution.sh BUILD_DIR_OR_MINER [SECONDS [THREADS]]
# (the build directory holds tamrix-miner and tests/e2e/nonce_scan)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
given=${1:?usage: bench/planted_solution.sh BUILD_DIR_OR_MINER [SECONDS [THREADS]]}
seconds=${2:-5}
threads=${3:-1}

if [[ -d $given ]]; then
  build=$given
  miner=$given/tamrix-miner
else
  miner=$given
  build=$(dirname "$given")
fi
scan=$build/tests/e2e/nonce_scan
[[ -x $miner ]] || { echo "planted_solution.sh: no miner at $miner" >&2; exit 2; }
[[ -x $scan ]] || { echo "planted_solution.sh: no nonce_scan at $scan; build the nonce_scan target" >&2; exit 2; }

miner=$(realpath "$miner")
scan=$(realpath "$scan")
cd "$root/tests/e2e"
TAMRIX_MINER=$miner TAMRIX_NONCE_SCAN=$scan TAMRIX_DEVNODE="$root/tools/devnode.py" \
  python3 planting.py "$seconds" "$threads"
