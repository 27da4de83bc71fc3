#!/usr/bin/env bash
# Cross-builds the unit tests for 64-bit Arm (cmake/aarch64-linux-gnu.cmake)
# and runs them under qemu-aarch64: the portable kernel list, the search, the
# node client and the driver on a processor without the x86-64 kernels. The
# end-to-end tests need the miner to run natively and are left out. Installs
# the cross compiler, qemu and the :arm64 development packages first where
# they are missing; prints a skip line (and counts nothing) where they cannot
# be installed. Ends with "cross-arm64: N passed"; a failed build or test
# exits 1.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/arm64
jobs=$(nproc)

skip() {
  echo "skipped: arm64 cross build and tests ($1)"
  echo "cross-arm64: 0 passed"
  exit 0
}

# libstdc++6:arm64: the tests run on the multiarch C++ runtime (see the
# toolchain file for why not the cross compiler's own).
packages=(g++-aarch64-linux-gnu qemu-user libcurl4-openssl-dev:arm64 libjansson-dev:arm64 libmicrohttpd-dev:arm64
          libgtest-dev:arm64 libssl-dev:arm64 libstdc++6:arm64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  [ "$(uname -m)" = x86_64 ] || skip "cross packages are set up for an x86-64 host, this is $(uname -m)"
  command -v apt-get >/dev/null 2>&1 || skip "no apt-get to install ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo -n true 2>/dev/null || skip "not root and no sudo to install ${missing[*]}"
    sudo="sudo -n"
  fi
  echo "Installing: ${missing[*]}"
  # The :arm64 -dev packages are Multi-Arch: same and install beside the
  # amd64 ones; the cross compiler links against them in /usr/lib/aarch64-linux-gnu.
  dpkg --print-foreign-architectures | grep -qx arm64 || $sudo dpkg --add-architecture arm64 ||
    skip "dpkg --add-architecture arm64 failed"
  $sudo apt-get update >/dev/null || skip "apt-get update failed"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}" ||
    skip "apt-get install ${missing[*]} failed"
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRIX_BUILD_BENCH=OFF >/dev/null
# Only the unit test binaries (each test is named after its target).
mapfile -t targets < <(cd "$build" && ctest -N -L unit | sed -n 's/^ *Test *#[0-9]*: //p')
[ ${#targets[@]} -gt 0 ] || { echo "FAILED: no unit tests configured in $build" >&2; exit 1; }
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

machine=$(readelf -h "$build/tests/hash/test_search_kernels" | sed -n 's/^ *Machine: *//p')
[ "$machine" = AArch64 ] || { echo "FAILED: test binaries are built for '$machine'" >&2; exit 1; }
echo "ok: test binaries are built for $machine"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
(cd "$build" && ctest --output-on-failure -j"$jobs" -L unit) 2>&1 | tee "$log"
total=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log")
echo "cross-arm64: $((total + 1)) passed"
