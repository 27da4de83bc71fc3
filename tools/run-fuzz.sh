#!/usr/bin/env bash
# Builds the libFuzzer targets with clang++ and runs each for a bounded time
# on a scratch copy of its seed corpus. Usage: tools/run-fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build/fuzz

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRIX_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_work_assembly fuzz_submit_verdict fuzz_hex fuzz_scan_arguments

for target in work_assembly submit_verdict hex scan_arguments; do
  corpus="$build/corpus-run/$target"
  log="$build/fuzz_$target.log"
  mkdir -p "$corpus"
  rm -f "$build"/artifact-"$target"-*
  cp -n fuzz/corpus/"$target"/* "$corpus"/ 2>/dev/null || true
  echo "== fuzz_$target for ${seconds}s"
  status=0
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 -close_fd_mask=3 \
      -artifact_prefix="$build/artifact-$target-" "$corpus" >"$log" 2>&1 || status=$?
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|Done [0-9]+ runs' "$log" || true
  if [ "$status" -ne 0 ]; then
    grep -E -A30 '==[0-9]+==ERROR|runtime error|deadly signal' "$log" | head -60
    echo "fuzz_$target failed (exit $status); reproducer: $(ls "$build"/artifact-"$target"-* 2>/dev/null)"
    exit 1
  fi
done
