#!/usr/bin/env bash
# The CUDA backend on a machine with an NVIDIA GPU (written for an H100), in
# one go: build the CUDA variant, run the GPU tests, run the GPU benchmark,
# then mine for 20 seconds against the development node with the GPU and two
# CPU threads. Where --prepare also built the OpenCL variant, its GPU tests
# and benchmark run on the same card through NVIDIA's OpenCL driver. Prints a
# summary at the end; every log goes under ${OUT:-/tmp/gpu-check}. Takes
# about 4 to 6 minutes, most of it the build.
#
# Usage: tools/gpu-check.sh            (from anywhere inside the repository)
#        tools/gpu-check.sh --prepare  (on the development machine: build here)
# Environment: OUT (log folder), CUDA_ARCH (default 90), BUILD_DIR
# (default build-cuda), JOBS (default: all cores).
#
# A GPU machine without the development packages (libcurl, jansson,
# GoogleTest) cannot build the miner. --prepare builds the CUDA variant on
# the development machine, which has nvcc, and the OpenCL variant into
# CARRY_DIR/opencl, and copies the shared libraries the binaries need (the
# OpenCL ICD loader among them) into CARRY_DIR/libs; carry CARRY_DIR to the
# GPU machine and run the script there with BUILD_DIR=CARRY_DIR: it then
# skips the build.
set -uo pipefail

cd "$(dirname "$0")/.."
out=${OUT:-/tmp/gpu-check}
build=${BUILD_DIR:-build-cuda}
arch=${CUDA_ARCH:-90}
jobs=${JOBS:-$(nproc)}
mkdir -p "$out"
failures=()
gpu_test_targets="tamrix-miner gpu_backend_cuda_test gpu_kernel_math_test gpu_search_batch_test gpu_power_nvml_test gpu_power_amdgpu_test gpu_power_without_nvml_test"

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

if [ "${1:-}" = "--prepare" ]; then
  build_cuda_variant || { tail -30 "$out/build.log"; exit 1; }
  # Only what runs travels: the binaries, the simulated NVML of the power
  # test, and every shared library they load beyond the C and C++ runtimes,
  # which any newer Linux has in a compatible version.
  carry=${CARRY_DIR:-gpu-carry}
  rm -rf "$carry"
  mkdir -p "$carry/tests/gpu" "$carry/libs"
  cp "$build/tamrix-miner" "$carry/"
  for t in $gpu_test_targets; do
    [ "$t" = tamrix-miner ] || cp "$build/tests/gpu/$t" "$carry/tests/gpu/"
  done
  cp -r "$build/tests/gpu/fake_nvml" "$carry/tests/gpu/"
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

step "GPU"
nvidia-smi >"$out/nvidia-smi-before.txt" 2>&1 || fail "nvidia-smi"
nvidia-smi --query-gpu=name,driver_version,power.limit,power.default_limit,clocks.max.sm,temperature.gpu \
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
  for t in gpu_backend_cuda_test gpu_kernel_math_test gpu_search_batch_test gpu_power_nvml_test \
      gpu_power_amdgpu_test gpu_power_without_nvml_test; do
    # The power test loads its simulated NVML by name; nothing else may see it.
    LD_LIBRARY_PATH="$PWD/$build/tests/gpu/fake_nvml${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
      timeout 300 "$build/tests/gpu/$t" >"$out/$t.log" 2>&1 || fail "$t (see $out/$t.log)"
    echo "$t: $(grep -E "^\[  (PASSED|FAILED)  \]" "$out/$t.log" | tr '\n' ' ')"
  done
  # Which CUDA cases ran and which skipped.
  grep -E "^\[ +(OK|SKIPPED|FAILED) +\]" "$out/gpu_backend_cuda_test.log"
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

step "OpenCL variant on the same card"
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
  grep -m1 "OpenCL device 0" "$out/gpu_backend_opencl_test.log"
  timeout 120 "$build/opencl/tamrix-miner" --benchmark --gpu-only -d 0 --bench-duration 10 \
    >"$out/benchmark-opencl.log" 2>&1 || fail "OpenCL benchmark exit status"
  grep -E "OpenCL|GPU" "$out/benchmark-opencl.log"
else
  echo "not carried (tools/gpu-check.sh --prepare builds it)"
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
echo "OpenCL benchmark 10s: $(grep -E "^GPU:" "$out/benchmark-opencl.log" 2>/dev/null)"
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
