# The CUDA variant of the GPU backend (-DTAMRIX_GPU=cuda). Only this file
# enables CUDA, so the default build needs no CUDA toolkit at all. The
# runtime is linked statically and NVML is opened at run time, so the miner
# still starts on a machine without the NVIDIA driver; its GPU calls then
# fail with a message.

if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES)
  set(CMAKE_CUDA_ARCHITECTURES 90 CACHE STRING
      "GPU architectures of the CUDA kernels (90: H100 and H200)")
endif()
if(NOT DEFINED CMAKE_CUDA_COMPILER AND NOT DEFINED ENV{CUDACXX}
   AND EXISTS /usr/local/cuda/bin/nvcc)
  set(CMAKE_CUDA_COMPILER /usr/local/cuda/bin/nvcc)
endif()
enable_language(CUDA)
find_package(CUDAToolkit REQUIRED)

# search_kernels.cu is the only file nvcc compiles: the kernel source
# (kernel/search_kernel.cl) and its launches. The rest is host C++ against
# the CUDA runtime.
add_library(tamrix_gpu STATIC
  cuda/search_kernels.cu
  cuda/backend_cuda.cpp
  cuda/context.cpp
  cuda/devices.cpp
  cuda/selftest.cpp
  device_order.cpp
  ${TAMRIX_GPU_SHARED_SOURCES})
set_target_properties(tamrix_gpu PROPERTIES
  CUDA_STANDARD 17
  CUDA_STANDARD_REQUIRED ON
  # The runtime comes from the explicit CUDA::cudart_static below.
  CUDA_RUNTIME_LIBRARY None)
# The inherited -Wall -Wextra reach the host compiler through nvcc's
# -forward-unknown-to-host-compiler. ptxas warns when the search kernel's
# state no longer fits in registers. tools/kernel-report.sh compiles
# search_kernels.cu with these flags.
target_compile_options(tamrix_gpu PRIVATE
  $<$<COMPILE_LANGUAGE:CUDA>:-Xptxas=-warn-spills,-warn-lmem-usage>)
target_link_libraries(tamrix_gpu PUBLIC tamrix_hash CUDA::cudart_static ${CMAKE_DL_LIBS})
