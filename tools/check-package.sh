#!/usr/bin/env bash
# Checks what an operator gets from a configured release build folder (default
# build/release, already built): `cmake --install` installs the binary alone,
# and the Debian package builds, holds the binary alone under /usr, depends on
# the libcurl and jansson runtime packages, and its binary runs from a scratch
# root and reports the project's version. For the OpenCL build (TAMRIX_GPU
# opencl) the package is tamrix-miner-opencl: it also depends on the OpenCL
# ICD loader and on no vendor's driver, and takes the CPU-only package's
# place. Prints one line per check and ends with "check-package: N passed"
# ("check-package-opencl: N passed"); the first failed check exits 1.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
passed=0

pass() { echo "ok: $1"; passed=$((passed + 1)); }
fail() { echo "FAILED: $1" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt (not configured?)"
variant=$(sed -n 's/^TAMRIX_GPU:STRING=//p' "$build/CMakeCache.txt")
package=tamrix-miner
report=check-package
if [ "$variant" = opencl ]; then
  package=tamrix-miner-opencl
  report=check-package-opencl
fi
banner="tamrix-miner v$version - TAMRIX SHA3-512 Unified CPU+GPU Miner"

# cmake --install under a staging root: exactly one file, the binary in bin/.
DESTDIR="$scratch/staged" cmake --install "$build" --prefix /usr/local >/dev/null
installed=$(cd "$scratch/staged" && find . -type f -o -type l | sort)
[ "$installed" = "./usr/local/bin/tamrix-miner" ] ||
  fail "cmake --install installed more or less than bin/tamrix-miner: $installed"
pass "cmake --install installs only bin/tamrix-miner"

# The package, built into the scratch folder so that no stale one is read.
(cd "$build" && cpack -G DEB -B "$scratch/package" >"$scratch/cpack.log" 2>&1) ||
  { cat "$scratch/cpack.log" >&2; fail "cpack -G DEB"; }
debs=("$scratch"/package/"$package"_"$version"_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single ${package}_${version}_*.deb from cpack"
deb=${debs[0]}
pass "cpack builds $(basename "$deb")"

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}')
[ "$files" = "./usr/bin/tamrix-miner" ] || fail "package holds more or less than /usr/bin/tamrix-miner: $files"
pass "package holds only /usr/bin/tamrix-miner"

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = "$package" ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', project says $version"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
pass "Package $package, Version $version, Maintainer and Description set"

depends=$(field Depends)
echo "   Depends: $depends"
grep -Eq '(^|, )libcurl[0-9a-z-]*( |,|$)' <<<"$depends" || fail "Depends names no libcurl package"
grep -Eq '(^|, )libjansson[0-9]+( |,|$)' <<<"$depends" || fail "Depends names no jansson package"
pass "Depends names libcurl and jansson"

if [ "$variant" = opencl ]; then
  grep -Eq '(^|, )ocl-icd-libopencl1( |,|$)' <<<"$depends" || fail "Depends names no OpenCL ICD loader"
  ! grep -Eiq 'nvidia|amdgpu|rocm|mesa|intel|pocl' <<<"$depends" || fail "Depends names a vendor's driver"
  for relation in Provides Conflicts Replaces; do
    [ "$(field $relation)" = tamrix-miner ] || fail "$relation is '$(field $relation)', not tamrix-miner"
  done
  pass "Depends names the ICD loader and no vendor; takes the place of tamrix-miner"
fi

dpkg -x "$deb" "$scratch/root"
output=$("$scratch/root/usr/bin/tamrix-miner" --version)
[ "$output" = "$banner" ] || fail "installed binary printed '$output', expected '$banner'"
pass "installed binary runs: $output"

echo "$report: $passed passed"
