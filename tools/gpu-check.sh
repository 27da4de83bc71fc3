#!/usr/bin/env bash
# The CUDA backend on a machine with an NVIDIA GPU (written for an H100), in
# one go: build the CUDA variant, run the GPU tests, run the GPU benchmark,
# then mine for 20 seconds against the development node with the GPU and two
# CPU threads. Prints a summary at the end; every log goes under
# ${OUT:-/tmp/gpu-check}. Takes about 4 to 6 minutes, most of it the build.
#
# Usage: tools/gpu-check.sh            (from anywhere inside the repository)
# Environment: OUT (log folder), CUDA_ARCH (default 90), BUILD_DIR
# (default build-cuda), JOBS (default: all cores).
set -uo pipefail

cd "$(dirname "$0")/.."
out=${OUT:-/tmp/gpu-check}
build=${BUILD_DIR:-build-cuda}
arch=${CUDA_ARCH:-90}
jobs=${JOBS:-$(nproc)}
mkdir -p "$out"
failures=()

step() { echo; echo "== $*"; }
fail() { failures+=("$1"); echo "FAILED: $1"; }

step "GPU"
nvidia-smi >"$out/nvidia-smi-before.txt" 2>&1 || fail "nvidia-smi"
nvidia-smi --query-gpu=name,driver_version,power.limit,power.default_limit,clocks.max.sm,temperature.gpu \
  --format=csv 2>&1 | tee "$out/gpu.csv"

step "build (CUDA variant, sm_$arch) in $build"
if ! command -v nvcc >/dev/null && [ -x /usr/local/cuda/bin/nvcc ]; then
  export PATH=/usr/local/cuda/bin:$PATH
fi
if timeout 420 cmake -S . -B "$build" -DTAMRIX_GPU=cuda -DCMAKE_CUDA_ARCHITECTURES="$arch" \
     -DCMAKE_BUILD_TYPE=Release -DTAMRIX_BUILD_BENCH=OFF \
     -DCMAKE_CUDA_FLAGS="-Xptxas=-v" >"$out/configure.log" 2>&1 &&
   timeout 420 cmake --build "$build" -j"$jobs" --target tamrix-miner gpu_backend_cuda_test \
     gpu_kernel_math_test gpu_power_nvml_test gpu_power_without_nvml_test >"$out/build.log" 2>&1; then
  echo "built; search kernel resources:"
  grep -A4 "search_nonces" "$out/build.log" | grep -E "registers|spill" | head -2
  echo "compiler warnings at: $(grep -E "warning" "$out/build.log" |
    grep -oE "[A-Za-z0-9_./-]+\.(cpp|cu|cuh|h):[0-9]+" | sort -u | tr '\n' ' ')"
else
  fail "build (see $out/configure.log and $out/build.log)"
  tail -30 "$out/build.log" 2>/dev/null
fi
miner=$build/src/driver/tamrix-miner

step "GPU tests"
if [ -x "$build/tests/gpu/gpu_backend_cuda_test" ]; then
  (cd "$build" && timeout 300 ctest -L gpu --output-on-failure) >"$out/gpu-tests.log" 2>&1 ||
    fail "GPU tests (see $out/gpu-tests.log)"
  grep -E "tests passed|Passed|Failed|\*\*\*" "$out/gpu-tests.log"
  # The CUDA suite on its own, to show which cases ran and which skipped.
  timeout 300 "$build/tests/gpu/gpu_backend_cuda_test" >"$out/gpu-backend-cuda-test.log" 2>&1
  grep -E "^\[ +(OK|SKIPPED|FAILED|PASSED) +\]" "$out/gpu-backend-cuda-test.log"
else
  fail "GPU tests not built"
fi

step "benchmark: tamrix-miner --benchmark -d 0"
if [ -x "$miner" ]; then
  timeout 120 "$miner" --benchmark -d 0 >"$out/benchmark.log" 2>&1 || fail "benchmark exit status"
  cat "$out/benchmark.log"
  grep -qE "^GPU: [0-9.]+ [GMk]H/s" "$out/benchmark.log" && ! grep -q "^GPU: 0.00 " "$out/benchmark.log" ||
    fail "GPU benchmark reported no rate"
  # A longer run with two CPU threads beside it, as the operator would compare.
  timeout 120 "$miner" --benchmark -d 0 --bench-duration 10 --cpu-threads 2 \
    >"$out/benchmark-10s.log" 2>&1 || fail "10 s benchmark exit status"
  grep -E "GPU|CPU" "$out/benchmark-10s.log"
fi

step "mining 20 s against tools/devnode.py"
node_pid=""
miner_pid=""
if [ -x "$miner" ] && [ -f tools/devnode.py ]; then
  # 2^-30 per hash: a block every second or so on the GPU, rarely on the CPU.
  python3 tools/devnode.py --port 0 --zero-bits 30 >"$out/devnode.log" 2>&1 &
  node_pid=$!
  url=""
  for _ in $(seq 50); do
    url=$(grep -o "http://127.0.0.1:[0-9]*" "$out/devnode.log" | head -1)
    [ -n "$url" ] && break
    sleep 0.2
  done
  if [ -z "$url" ]; then
    fail "devnode did not start (see $out/devnode.log)"
  else
    "$miner" --cpu-threads 2 -o "$url" -u tamrix -p tamrix --coinbase-addr=tamrixdemo1 \
      >"$out/mining.log" 2>"$out/mining.err" &
    miner_pid=$!
    sleep 20
    nvidia-smi >"$out/nvidia-smi-mining.txt" 2>&1
    kill -INT "$miner_pid"
    for _ in $(seq 100); do kill -0 "$miner_pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$miner_pid" 2>/dev/null; then
      fail "miner still running 10 s after SIGINT"
      kill -KILL "$miner_pid"
    fi
    wait "$miner_pid"
    status=$?
    [ "$status" -eq 0 ] || fail "miner exit status $status"
    echo "status lines (last 3):"
    grep -E "H/s \(" "$out/mining.log" | tail -3
    echo "blocks accepted: $(grep -c "ACCEPTED" "$out/mining.log")" \
         "(GPU $(grep -c "ACCEPTED (GPU)" "$out/mining.log"), CPU $(grep -c "ACCEPTED (CPU)" "$out/mining.log"))"
    grep -E "^Shutting down\. " "$out/mining.log"
    echo "stderr lines: $(wc -l <"$out/mining.err")"; sort "$out/mining.err" | uniq -c | head -5
  fi
  kill "$node_pid" 2>/dev/null
  wait "$node_pid" 2>/dev/null
  tail -5 "$out/devnode.log"
else
  fail "mining run skipped (no miner or no tools/devnode.py)"
fi

step "summary"
echo "GPU benchmark:    $(grep -E "^GPU:" "$out/benchmark.log" 2>/dev/null)"
echo "GPU benchmark 10s: $(grep -E "^GPU:" "$out/benchmark-10s.log" 2>/dev/null)"
echo "mining status:    $(grep -E "H/s \(" "$out/mining.log" 2>/dev/null | tail -1)"
echo "--- nvidia-smi during mining"
cat "$out/nvidia-smi-mining.txt" 2>/dev/null
if [ ${#failures[@]} -eq 0 ]; then
  echo "gpu-check: all steps passed; logs in $out"
  exit 0
fi
printf 'gpu-check: FAILED step: %s\n' "${failures[@]}"
echo "logs in $out"
exit 1
