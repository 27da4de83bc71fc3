#!/usr/bin/env bash
# Builds and runs every test: the plain build, AddressSanitizer with
# UndefinedBehaviorSanitizer over the whole suite, ThreadSanitizer over the
# search and the mining loop, and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

configure_and_build() {  # dir, cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

echo "== plain build"
configure_and_build build/test -DCMAKE_BUILD_TYPE=RelWithDebInfo
(cd build/test && ctest --output-on-failure -LE slow)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug -DTAMRIX_SANITIZE=address -DTAMRIX_BUILD_BENCH=OFF
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -LE slow)

echo "== ThreadSanitizer (search and mining loop)"
configure_and_build build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRIX_SANITIZE=thread -DTAMRIX_BUILD_BENCH=OFF
(cd build/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -L search)
