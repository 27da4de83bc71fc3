# The Debian package: `make deb` (`make deb-opencl` for the OpenCL build),
# or `cpack -G DEB` in a configured build folder. It holds what `cmake
# --install` installs (the binary alone) under /usr, and dpkg-shlibdeps
# (package dpkg-dev) reads the binary's shared library needs, so apt brings
# in libcurl and jansson with it (and the OpenCL ICD loader for that build).
set(CPACK_GENERATOR DEB)
if(TAMRIX_GPU STREQUAL "opencl")
  # The OpenCL build installs the same /usr/bin/tamrix-miner, so it takes the
  # place of the CPU-only package rather than sitting beside it. It needs the
  # ICD loader (through dpkg-shlibdeps) and some OpenCL driver, whichever
  # vendor's: Debian's driver packages provide opencl-icd.
  set(CPACK_PACKAGE_NAME tamrix-miner-opencl)
  set(CPACK_DEBIAN_PACKAGE_PROVIDES tamrix-miner)
  set(CPACK_DEBIAN_PACKAGE_CONFLICTS tamrix-miner)
  set(CPACK_DEBIAN_PACKAGE_REPLACES tamrix-miner)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS opencl-icd)
else()
  set(CPACK_PACKAGE_NAME tamrix-miner)
endif()
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tamrix-miner developers")
set(CPACK_PACKAGE_CONTACT "tamrix-miner developers <miner@tamrix.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Solo miner for the TAMRIX coin (SHA3-512 proof of work)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # PACKAGE_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The summary above is the first line of the Description field; this is the
# rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Asks a TAMRIX full node for block templates over JSON-RPC, builds the\n\
coinbase and merkle root itself, searches the nonce space on every CPU core\n\
with the widest SIMD kernel the CPU runs, and submits solved blocks.")
if(TAMRIX_GPU STREQUAL "opencl")
  string(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION "\n\
This build also mines on an OpenCL device (AMD, Intel or NVIDIA cards, or\n\
any other OpenCL driver) through the OpenCL ICD loader.")
endif()

include(CPack)
