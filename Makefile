# Thin wrapper over CMake. `make demo` mines against the bundled development
# node; `make test` builds and runs every test, sanitizer builds included;
# `make install` puts the release binary in $(PREFIX)/bin; `make deb` packs
# it into build/release/tamrix-miner_VERSION_ARCH.deb, and `make deb-opencl`
# packs the OpenCL build into build/release-opencl/tamrix-miner-opencl_VERSION_ARCH.deb.
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: deps release demo test install deb deb-opencl clean

deps:
	@bash tools/install-deps.sh

release: deps
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DTAMRIX_BUILD_TESTS=OFF -DTAMRIX_BUILD_BENCH=OFF
	cmake --build build/release -j$(JOBS)

demo: release
	bash tools/demo.sh build/release/tamrix-miner

install: release
	cmake --install build/release --prefix $(PREFIX)

deb: release
	cd build/release && cpack -G DEB

deb-opencl: deps
	cmake -S . -B build/release-opencl -DCMAKE_BUILD_TYPE=Release -DTAMRIX_GPU=opencl -DTAMRIX_BUILD_TESTS=OFF -DTAMRIX_BUILD_BENCH=OFF
	cmake --build build/release-opencl -j$(JOBS)
	cd build/release-opencl && cpack -G DEB

test: deps
	bash tools/run-tests.sh

clean:
	rm -rf build
