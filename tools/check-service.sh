#!/usr/bin/env bash
# Checks the example unit tools/tamrix-miner.service against a built binary
# (default build/release/tamrix-miner): its ExecStart arguments are ones the
# miner accepts, systemd-analyze verify finds nothing wrong with it, and its
# sandboxing keeps systemd's exposure estimate at 2.5 or lower. The two
# systemd checks print a skip line where systemd-analyze is not installed.
# Ends with "check-service: N passed"; the first failed check exits 1.
set -euo pipefail
cd "$(dirname "$0")/.."
binary=$(realpath "${1:-build/release/tamrix-miner}")
unit=tools/tamrix-miner.service
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passed=0

pass() { echo "ok: $1"; passed=$((passed + 1)); }
fail() { echo "FAILED: $1" >&2; exit 1; }

exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "$(wc -l <<<"$exec_start")" -eq 1 ] && [ -n "$exec_start" ] || fail "$unit needs exactly one ExecStart"
read -r -a command <<<"$exec_start"
[ "${command[0]}" = /usr/bin/tamrix-miner ] || fail "ExecStart runs ${command[0]}, the package installs /usr/bin/tamrix-miner"

# An unknown option makes the miner exit 1 before it looks at --version, so
# the example's arguments followed by --version exit 0 only when every one of
# them is understood.
if ! output=$("$binary" "${command[@]:1}" --version 2>&1); then
  fail "the miner refuses the example's arguments: $(head -n 1 <<<"$output")"
fi
pass "the miner accepts the ExecStart arguments"

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "skipped: systemd-analyze verify and security (systemd-analyze is not installed)"
  echo "check-service: $passed passed"
  exit 0
fi

# verify needs the ExecStart program to exist: a copy of the unit, alone in
# its folder (verify loads its neighbours too), runs the built binary.
sed "s|^ExecStart=/usr/bin/tamrix-miner|ExecStart=$binary|" "$unit" >"$scratch/tamrix-miner.service"
if ! report=$(cd "$scratch" && systemd-analyze verify --man=no tamrix-miner.service 2>&1) || [ -n "$report" ]; then
  fail "systemd-analyze verify: $report"
fi
pass "systemd-analyze verify reports nothing"

if ! report=$(cd "$scratch" && systemd-analyze security --offline=true --threshold=25 tamrix-miner.service 2>&1); then
  fail "sandboxing weaker than expected: $(grep -E '^✗|Overall' <<<"$report")"
fi
pass "systemd-analyze security: $(sed -n 's/.*Overall exposure level for [^:]*: //p' <<<"$report")"

echo "check-service: $passed passed"
