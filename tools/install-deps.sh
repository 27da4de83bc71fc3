#!/usr/bin/env bash
# Installs what the miner, its tests, its benchmarks and its Debian package
# (dpkg-dev: dpkg-shlibdeps computes the package's dependencies) need on
# Debian 12, and systemd for systemd-analyze, which checks the example
# service unit (a few MB; installing it starts nothing in a container).
# The OpenCL variant builds against the ICD loader and its headers, and its
# tests run on POCL, the CPU OpenCL runtime. The GPU kernel report compiles
# the OpenCL kernel for AMD cards with clang-15 (Debian 12's default clang,
# 14, knows no gfx1100) and libclc-15's built-in functions. litecoind is a
# real full node of the same JSON-RPC family, which the node client's tests
# talk to in regtest. libmicrohttpd serves the read-only HTTP API; its tests
# scrape it with a real Prometheus (promtool ships with it) and load its
# status page in headless Chromium, which draws its text in DejaVu.
# Does nothing when every package is already there.
set -euo pipefail

packages=(cmake make g++ pkg-config libcurl4-openssl-dev libjansson-dev
          libgtest-dev libbenchmark-dev libssl-dev openssl python3
          clang libclang-rt-14-dev dpkg-dev systemd
          ocl-icd-opencl-dev opencl-headers pocl-opencl-icd clinfo clang-15 libclc-15 litecoind
          libmicrohttpd-dev prometheus chromium fonts-dejavu-core)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
