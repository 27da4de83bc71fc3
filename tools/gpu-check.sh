#!/usr/bin/env bash
# The CUDA backend on a machine with NVIDIA GPUs (written for an H100), in
# one go: build the CUDA variant, run the GPU tests, list the devices and
# compare them with nvidia-smi, benchmark every GPU (-d all) beside the
# kernel report's static estimate, time a stop during a benchmark and during
# mining with a 4e9-nonce batch, then mine with -d all against the
# development node until a block is accepted. Where --prepare also built the
# OpenCL variant, its GPU tests and benchmark run on the same cards through
# NVIDIA's OpenCL driver. Prints a summary at the end; every log goes under
# ${OUT:-/tmp/gpu-check}. Takes about 4 to 6 minutes, most of it the build.
#
# Usage: tools/gpu-check.sh            (from anywhere inside the repository)
#        tools/gpu-check.sh --prepare  (on the development machine: build here)
# Environment: OUT (log folder), CUDA_ARCH (default 90), BUILD_DIR
# (default build-cuda), JOBS (default: all cores), BLOCK_WAIT (seconds to
# wait for an accepted block, default 120).
#
# A GPU machine without the development packages (libcurl, jansson,
# GoogleTest) cannot build the miner. --prepare builds the CUDA variant on
# the development machine, which has nvcc, and the OpenCL variant into
# CARRY_DIR/opencl, runs the kernel report into CARRY_DIR/kernel-report.txt,
# and copies the shared libraries the binaries need (the OpenCL ICD loader
# among them) into CARRY_DIR/libs; carry CARRY_DIR to the GPU machine and run
# the script there with BUILD_DIR=CARRY_DIR: it then skips the build.
set -uo pipefail

cd "$(dirname "$0")/.."
out=${OUT:-/tmp/gpu-check}
build=${BUILD_DIR:-build-cuda}
arch=${CUDA_ARCH:-90}
jobs=${JOBS:-$(nproc)}
block_wait=${BLOCK_WAIT:-120}
mkdir -p "$out"
failures=()
gpu_tests="gpu_backend_cuda_test gpu_kernel_math_test gpu_search_batch_test gpu_device_order_test \
gpu_power_nvml_test gpu_power_amdgpu_test gpu_power_without_nvml_test"
gpu_test_targets="tamrix-miner $gpu_tests"

step() { echo; echo "== $*"; }
fail() { failures+=("$1"); echo "FAILED: $1"; }

build_cuda_variant() {
  if ! command -v nvcc >/dev/null && [ -x /usr/local/cuda/bin/nvcc ]; then
    export PATH=/usr/local/cuda/bin:$PATH
  fi
  timeout 420 cmake -S . -B "$build" -DTAMRIX_GPU=cuda -DCMAKE_CUDA_ARCHITECTURES="$arch" \
      -DCMAKE_BUILD_TYPE=Release -DTAMRIX_BUILD_BENCH=OFF \
      -DCMAKE_CUDA_FLAGS="-Xptxas=-v" >"$out/configure.log" 2>&1 &&
    timeout 420 cmake --build "$build" -j"$jobs" --target $gpu_test_targets >"$out/build.log" 2>&1
}

# Seconds from SIGINT to the exit of process $1 ("0.25 s"), or what went
# wrong: it had ended already, or it still ran 10 s later (then killed).
stop_seconds() {
  local pid=$1 start
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid" 2>/dev/null
    echo "ended before the stop"
    return
  fi
  start=$(date +%s.%N)
  kill -INT "$pid"
  for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  if kill -0 "$pid" 2>/dev/null; then
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    echo "still running after 10 s"
    return
  fi
  wait "$pid" 2>/dev/null
  echo "$(date +%s.%N) $start" | awk '{ printf "%.2f s", $1 - $2 }'
}

# A stop must end the process within a second.
check_stop() {  # what, seconds
  echo "stop during $1: $2"
  if ! [[ "$2" =~ ^[0-9.]+\ s$ ]] || ! awk -v s="${2% s}" 'BEGIN { exit !(s <= 1.0) }'; then
    fail "stop during $1: $2 (at most 1 s)"
  fi
}

if [ "${1:-}" = "--prepare" ]; then
  build_cuda_variant || { tail -30 "$out/build.log"; exit 1; }
  # Only what runs travels: the binaries, the simulated NVML of the power
  # test, and every shared library they load beyond the C and C++ runtimes,
  # which any newer Linux has in a compatible version.
  carry=${CARRY_DIR:-gpu-carry}
  rm -rf "$carry"
  mkdir -p "$carry/tests/gpu" "$carry/libs"
  cp "$build/tamrix-miner" "$carry/"
  for t in $gpu_tests; do cp "$build/tests/gpu/$t" "$carry/tests/gpu/"; done
  cp -r "$build/tests/gpu/fake_nvml" "$carry/tests/gpu/"
  bash tools/kernel-report.sh >"$carry/kernel-report.txt" 2>&1 ||
    echo "kernel report failed (see $carry/kernel-report.txt)"
  # The OpenCL variant, for the same card through NVIDIA's OpenCL driver.
  if cmake -S . -B "$build-opencl" -DTAMRIX_GPU=opencl -DCMAKE_BUILD_TYPE=Release -DTAMRIX_BUILD_BENCH=OFF \
       >"$out/configure-opencl.log" 2>&1 &&
     cmake --build "$build-opencl" -j"$jobs" --target tamrix-miner gpu_backend_opencl_test \
       >"$out/build-opencl.log" 2>&1; then
    mkdir -p "$carry/opencl"
    cp "$build-opencl/tamrix-miner" "$build-opencl/tests/gpu/gpu_backend_opencl_test" "$carry/opencl/"
  else
    echo "OpenCL variant not built (see $out/build-opencl.log); carrying the CUDA variant alone"
  fi
  ldd "$carry/tamrix-miner" "$carry"/tests/gpu/gpu_* "$carry"/opencl/* 2>/dev/null |
    awk '$3 ~ /^\// { print $3 }' | sort -u |
    grep -vE '/(libc|libm|libstdc\+\+|libgcc_s|ld-linux[^/]*|libnvidia-ml)\.so' |
    xargs -r cp -L -t "$carry/libs"
  touch "$carry/PREBUILT"
  echo "prepared $carry ($(du -sh "$carry" | cut -f1)); carry it and run BUILD_DIR=$carry tools/gpu-check.sh there"
  exit 0
fi

step "GPUs"
nvidia-smi >"$out/nvidia-smi-before.txt" 2>&1 || fail "nvidia-smi"
nvidia-smi --query-gpu=index,pci.bus_id,name,driver_version,power.limit,power.default_limit,clocks.max.sm,temperature.gpu \
  --format=csv 2>&1 | tee "$out/gpu.csv"

step "build (CUDA variant, sm_$arch) in $build"
if [ -f "$build/PREBUILT" ]; then
  echo "prebuilt on the development machine (tools/gpu-check.sh --prepare)"
  export LD_LIBRARY_PATH="$PWD/$build/libs${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
elif build_cuda_variant; then
  echo "built; search kernel resources:"
  grep -A4 "search_nonces" "$out/build.log" | grep -E "registers|spill" | head -2
  echo "compiler warnings at: $(grep -E "warning" "$out/build.log" |
    grep -oE "[A-Za-z0-9_./-]+\.(cpp|cu|cuh|h):[0-9]+" | sort -u | tr '\n' ' ')"
else
  fail "build (see $out/configure.log and $out/build.log)"
  tail -30 "$out/build.log" 2>/dev/null
fi
miner=$build/tamrix-miner

step "GPU tests"
# The test binaries run directly: a carried build's CTest files name the
# development machine's paths.
if [ -x "$build/tests/gpu/gpu_backend_cuda_test" ]; then
  for t in $gpu_tests; do
    # The power test loads its simulated NVML by name; nothing else may see it.
    LD_LIBRARY_PATH="$PWD/$build/tests/gpu/fake_nvml${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
      timeout 300 "$build/tests/gpu/$t" >"$out/$t.log" 2>&1 || fail "$t (see $out/$t.log)"
    echo "$t: $(grep -E "^\[  (PASSED|FAILED)  \]" "$out/$t.log" | tr '\n' ' ')"
  done
  # Which CUDA cases ran and which skipped (the two-device case needs two cards).
  grep -E "^\[ +(OK|SKIPPED|FAILED) +\]" "$out/gpu_backend_cuda_test.log"
else
  fail "GPU tests not built"
fi

step "devices: tamrix-miner --list-devices beside nvidia-smi"
if [ -x "$miner" ]; then
  "$miner" --list-devices >"$out/list-devices.log" 2>&1 || fail "--list-devices exit status"
  cat "$out/list-devices.log"
  # -d counts as nvidia-smi does: the same bus ids in the same order.
  ours=$(grep -oE "^GPU [0-9]+: [0-9a-f]{4}:[0-9a-f]{2}:[0-9a-f]{2}\.[0-9]" "$out/list-devices.log" |
    awk '{ print $3 }' | tr '\n' ' ')
  # nvidia-smi writes an eight-digit domain in capitals: 00000000:65:00.0.
  smi=$(nvidia-smi --query-gpu=pci.bus_id --format=csv,noheader 2>/dev/null |
    sed -E 's/^[0-9A-Fa-f]*([0-9A-Fa-f]{4}):/\1:/' | tr 'A-F' 'a-f' | tr '\n' ' ')
  echo "ours:       $ours"
  echo "nvidia-smi: $smi"
  [ -n "$ours" ] && [ "$ours" = "$smi" ] || fail "--list-devices differs from nvidia-smi's order"
fi

step "static estimate (tools/kernel-report.sh, sm_$arch)"
if [ -f "$build/kernel-report.txt" ]; then
  cp "$build/kernel-report.txt" "$out/kernel-report.txt"
elif command -v nvcc >/dev/null || [ -x /usr/local/cuda/bin/nvcc ]; then
  bash tools/kernel-report.sh >"$out/kernel-report.txt" 2>&1 || fail "kernel report"
fi
awk -v arch="sm_$arch" '/^kernel /{ on = ($3 == arch) } on && /estimate|launches|alu-per-nonce/' \
  "$out/kernel-report.txt" 2>/dev/null || echo "no kernel report"

step "benchmark: tamrix-miner --benchmark --gpu-only -d all"
if [ -x "$miner" ]; then
  timeout 180 "$miner" --benchmark --gpu-only -d all --bench-duration 10 >"$out/benchmark.log" 2>&1 ||
    fail "benchmark exit status"
  cat "$out/benchmark.log"
  grep -qE "^GPU: [0-9.]+ [GMk]H/s" "$out/benchmark.log" && ! grep -q "^GPU: 0.00 " "$out/benchmark.log" ||
    fail "GPU benchmark reported no rate"

  # A stop in the middle of a long benchmark, and while mining with batches
  # of 4e9 nonces: each within a second.
  "$miner" --benchmark --gpu-only -d all --bench-duration 60 >"$out/benchmark-stop.log" 2>&1 &
  pid=$!
  sleep 8
  check_stop "a 60 s benchmark" "$(stop_seconds $pid)"
fi

step "mining with -d all against tools/devnode.py until a block is accepted"
node_pid=""
if [ -x "$miner" ] && [ -f tools/devnode.py ]; then
  # 2^-32 per hash: a block every second or so on an H100.
  python3 tools/devnode.py --port 0 --zero-bits 32 >"$out/devnode.log" 2>&1 &
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
    "$miner" --gpu-only -d all -o "$url" -u tamrix -p tamrix --coinbase-addr=tamrixdemo1 \
      >"$out/mining.log" 2>"$out/mining.err" &
    miner_pid=$!
    waited=0
    while [ "$waited" -lt "$block_wait" ] && ! grep -q "ACCEPTED (GPU)" "$out/mining.log"; do
      sleep 1
      waited=$((waited + 1))
    done
    nvidia-smi >"$out/nvidia-smi-mining.txt" 2>&1
    grep -q "ACCEPTED (GPU)" "$out/mining.log" || fail "no GPU block accepted in $block_wait s"
    check_stop "mining with -d all" "$(stop_seconds $miner_pid)"
    echo "status lines (last 3):"
    grep -E "H/s \(" "$out/mining.log" | tail -3
    echo "blocks accepted: $(grep -c "ACCEPTED (GPU)" "$out/mining.log") in ${waited} s"
    grep -E "^Shutting down\. " "$out/mining.log"
    echo "stderr lines: $(wc -l <"$out/mining.err")"; sort "$out/mining.err" | uniq -c | head -5

    # Batches of 4e9 nonces: a stop still ends the process within a second.
    "$miner" --gpu-only -d all --batch-size 4000000000 -o "$url" -u tamrix -p tamrix \
      --coinbase-addr=tamrixdemo1 >"$out/mining-long-batches.log" 2>&1 &
    pid=$!
    sleep 10
    check_stop "mining with --batch-size 4000000000" "$(stop_seconds $pid)"
  fi
  kill "$node_pid" 2>/dev/null
  wait "$node_pid" 2>/dev/null
  tail -5 "$out/devnode.log"
else
  fail "mining run skipped (no miner or no tools/devnode.py)"
fi

step "OpenCL variant on the same cards"
if [ -x "$build/opencl/tamrix-miner" ]; then
  # ocl-icd finds drivers through /etc/OpenCL/vendors; a machine with the
  # NVIDIA driver but without that file still has the driver's library.
  if ! ls /etc/OpenCL/vendors/*.icd >/dev/null 2>&1; then
    vendors=$(mktemp -d)
    echo libnvidia-opencl.so.1 >"$vendors/nvidia.icd"
    export OCL_ICD_VENDORS=$vendors
  fi
  timeout 300 "$build/opencl/gpu_backend_opencl_test" >"$out/gpu_backend_opencl_test.log" 2>&1 ||
    fail "gpu_backend_opencl_test (see $out/gpu_backend_opencl_test.log)"
  echo "gpu_backend_opencl_test: $(grep -E "^\[  (PASSED|FAILED)  \]" "$out/gpu_backend_opencl_test.log" | tr '\n' ' ')"
  "$build/opencl/tamrix-miner" --list-devices 2>&1 | tee "$out/list-devices-opencl.log"
  timeout 120 "$build/opencl/tamrix-miner" --benchmark --gpu-only -d all --bench-duration 10 \
    >"$out/benchmark-opencl.log" 2>&1 || fail "OpenCL benchmark exit status"
  grep -E "OpenCL|GPU" "$out/benchmark-opencl.log"
else
  echo "not carried (tools/gpu-check.sh --prepare builds it)"
fi

step "summary"
echo "static estimate:  $(awk -v arch="sm_$arch" '/^kernel /{ on = ($3 == arch) } on && /estimate/' \
  "$out/kernel-report.txt" 2>/dev/null | tr -s ' ' | tr '\n' ';')"
echo "GPU benchmark:    $(grep -E "^GPU" "$out/benchmark.log" 2>/dev/null | tr '\n' ';')"
echo "OpenCL benchmark: $(grep -E "^GPU" "$out/benchmark-opencl.log" 2>/dev/null | tr '\n' ';')"
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
