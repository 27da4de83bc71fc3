#!/usr/bin/env bash
# Builds and runs every test: the plain build (slow end-to-end cases
# included), AddressSanitizer with UndefinedBehaviorSanitizer over the whole
# suite, ThreadSanitizer over the search, the mining loop and the longpoll
# watch, every fuzz target for FUZZ_SECONDS (60 by default), the release
# build's install and Debian package, the OpenCL build's GPU tests,
# end-to-end cases and package on POCL (the CPU OpenCL runtime), the example
# systemd unit, the unit tests cross-built for arm64 and run under qemu, a
# compile check of the CUDA backend where the toolkit is installed, and the
# GPU kernel report (the instructions a nonce costs, from the compilers'
# output, without a GPU).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
fuzz_seconds=${FUZZ_SECONDS:-60}
logs=build/test-logs
mkdir -p "$logs"
passed=0

configure_and_build() {  # dir, cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

run_ctest() {  # build dir, log name, ctest args...
  local dir=$1 name=$2; shift 2
  (cd "$dir" && ctest --output-on-failure "$@") 2>&1 | tee "$logs/$name.log"
  local total
  total=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$logs/$name.log")
  passed=$((passed + ${total:-0}))
}

run_counted() {  # log name, command...: a script that ends with "NAME: N passed"
  local name=$1; shift
  "$@" 2>&1 | tee "$logs/$name.log"
  local total
  total=$(sed -n "s/^$name: \([0-9]*\) passed\$/\1/p" "$logs/$name.log")
  passed=$((passed + ${total:-0}))
}

echo "== plain build"
configure_and_build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_ctest build/test plain

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug -DTAMRIX_SANITIZE=address -DTAMRIX_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_ctest build/asan asan -LE slow

echo "== ThreadSanitizer (search, mining loop, longpoll watch)"
configure_and_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRIX_SANITIZE=thread -DTAMRIX_BUILD_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1 run_ctest build/tsan tsan -L 'search|threads'

echo "== install and Debian package (release build)"
configure_and_build build/release -DCMAKE_BUILD_TYPE=Release -DTAMRIX_BUILD_TESTS=OFF -DTAMRIX_BUILD_BENCH=OFF
run_counted check-package bash tools/check-package.sh build/release

echo "== OpenCL backend on POCL (GPU tests, end-to-end, package)"
# Only the miner, the GPU tests and loop_probe (the two-device tests fail
# one device through its ports): the rest of the suite does not depend on
# the backend and has run in the plain build. POCL keeps its compiled kernels
# under build/opencl/pocl-cache (set by the tests), not in HOME. The package
# is made from the same folder; without the skipped dependency, cpack would
# first build every other test target in it.
cmake -S . -B build/opencl -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRIX_GPU=opencl -DTAMRIX_BUILD_BENCH=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build build/opencl -j"$jobs" --target tamrix-miner gpu_backend_opencl_test gpu_kernel_math_test \
  gpu_search_batch_test gpu_device_order_test gpu_backend_report_test gpu_power_nvml_test gpu_power_amdgpu_test \
  gpu_power_without_nvml_test nonce_scan loop_probe
run_ctest build/opencl opencl -L 'gpu|opencl'
run_counted check-package-opencl bash tools/check-package.sh build/opencl

echo "== example systemd unit"
run_counted check-service bash tools/check-service.sh build/release/tamrix-miner

echo "== arm64 cross build, unit tests under qemu-aarch64"
run_counted cross-arm64 bash tools/cross-arm64.sh

echo "== fuzzing, ${fuzz_seconds}s per target"
bash tools/run-fuzz.sh "$fuzz_seconds"

if command -v nvcc >/dev/null 2>&1 || [ -x /usr/local/cuda/bin/nvcc ]; then
  echo "== CUDA backend (compile check; GPU tests skip without a GPU)"
  cmake -S . -B build/cuda -DCMAKE_BUILD_TYPE=Release -DTAMRIX_GPU=cuda -DTAMRIX_BUILD_BENCH=OFF \
    -DCMAKE_CUDA_COMPILER="$(command -v nvcc || echo /usr/local/cuda/bin/nvcc)" >/dev/null
  cmake --build build/cuda -j"$jobs" --target tamrix-miner gpu_backend_cuda_test gpu_kernel_math_test \
    gpu_search_batch_test gpu_device_order_test gpu_backend_report_test gpu_power_amdgpu_test gpu_power_nvml_test \
    gpu_power_without_nvml_test
  run_ctest build/cuda cuda -L gpu
fi

echo "== GPU kernel report (static, no GPU needed; a report, not a test)"
bash tools/kernel-report.sh 2>&1 | tee "$logs/kernel-report.log"

echo
echo "total: $passed passed, 0 failed"
