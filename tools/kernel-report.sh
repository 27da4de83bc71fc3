#!/usr/bin/env bash
# A static report on the GPU search kernel, without a GPU: for the CUDA
# build (sm_80, sm_89, sm_90; nvcc and ptxas under /usr/local/cuda) and the
# OpenCL build for AMD cards (gfx1030, gfx1100; Debian's clang-15 with the
# amdgcn target and libclc-15), one line each:
#   kernel <cuda|opencl> <arch> registers R spills S alu-per-nonce N
# followed by the instructions on that path, the hash rate N gives on named
# cards, what the other lane form and the stop-word check cost, and the
# simulated efficiency of the launch grid and of the miner's launches of
# 2^20 nonces, one after another and on two streams overlapping. A compiler
# that is missing skips its half in one line; in CI (CI=true) a run that
# measured nothing at all fails. A kernel whose Keccak rounds were left as a
# loop gets a WARNING line (stdout and stderr). How the counting is done:
# tools/kernel_report.py. Takes about a minute.
#
# Usage: tools/kernel-report.sh [kernel_report.py options]
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 tools/kernel_report.py "$@"
