# Search kernels: the midstate and every kernel against the reference,
# OpenSSL and the FIPS 202 known answers.
tamrix_gtest(test_search_kernels
  SOURCES test_search_kernels.cpp
  LIBS tamrix_hash OpenSSL::Crypto
  LABELS hash)

# Kernel selection; labelled search so that ThreadSanitizer checks the
# one-time choice made by concurrent first callers.
tamrix_gtest(test_search_kernel_dispatch
  SOURCES test_search_kernel_dispatch.cpp
  LIBS tamrix_hash
  LABELS hash search)

# The x86-64 CPU feature detection, built only there.
if(TAMRIX_X86_64_KERNELS)
  tamrix_gtest(test_cpu_features SOURCES test_cpu_features.cpp LIBS tamrix_hash LABELS hash)
endif()
