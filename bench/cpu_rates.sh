#!/usr/bin/env bash
# Prints the miner's CPU search rate on one and on two threads next to
# OpenSSL's SHA3-512 rate on 80-byte inputs on one core, in hashes per second.
# Usage: bench/cpu_rates.sh [path/to/tamrix-miner]   (default build/release/tamrix-miner)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
miner=${1:-$root/build/release/tamrix-miner}
[[ -x $miner ]] || { echo "cpu_rates.sh: no miner at $miner; build it or pass its path" >&2; exit 1; }

fail() { echo "cpu_rates.sh: $1" >&2; exit 1; }

# The benchmark prints e.g. "CPU: 1.23 MH/s"; scale it back to hashes per second.
miner_rate() {
  "$miner" --benchmark --cpu-only --cpu-threads "$1" | awk '
    $1 == "CPU:" { scale = $3 == "GH/s" ? 1e9 : $3 == "MH/s" ? 1e6 : $3 == "kH/s" ? 1e3 : 1
                   printf "%.0f\n", $2 * scale; seen = 1 }
    END { exit !seen }'
}

# Machine-readable output: "+F:<n>:sha3-512:<bytes per second>", one hash per 80 bytes.
openssl_rate() {
  openssl speed -mr -seconds 3 -bytes 80 -evp sha3-512 2>/dev/null | awk -F: '
    $1 == "+F" { printf "%.0f\n", $4 / 80; seen = 1 }
    END { exit !seen }'
}

one=$(miner_rate 1) || fail "no CPU rate from the miner with 1 thread"
two=$(miner_rate 2) || fail "no CPU rate from the miner with 2 threads"
ssl=$(openssl_rate) || fail "no SHA3-512 rate from openssl speed"

awk -v one="$one" -v two="$two" -v ssl="$ssl" 'BEGIN {
  row = "%-34s %14s %16s\n"
  printf row, "SHA3-512 on 80 bytes", "hashes/s", "per thread/core"
  printf row, "tamrix-miner, 1 CPU thread", one, one
  printf row, "tamrix-miner, 2 CPU threads", two, sprintf("%.0f", two / 2)
  printf row, "OpenSSL, 1 core", ssl, ssl
  printf "miner per thread vs OpenSSL: %.2fx (1 thread), %.2fx (2 threads)\n", one / ssl, two / 2 / ssl
}'
