# The OpenCL variant of the GPU backend (-DTAMRIX_GPU=opencl): OpenCL 1.2
# through the ICD loader, so one binary serves whatever platforms the machine
# has installed (AMD, Intel, NVIDIA, or POCL on the CPU). The kernel source is
# built into the binary and compiled by the platform at the first launch.

find_package(OpenCL REQUIRED)

# search_kernel.cl becomes a C++ raw string at configure time; editing it
# reruns the configure step.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/search_kernel.cl)
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/search_kernel.cl TAMRIX_SEARCH_KERNEL_CL)
string(FIND "${TAMRIX_SEARCH_KERNEL_CL}" ")opencl_c\"" raw_string_end)
if(NOT raw_string_end EQUAL -1)
  message(FATAL_ERROR "search_kernel.cl contains the raw string's closing delimiter")
endif()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/search_kernel_text.cpp.in
               ${CMAKE_CURRENT_BINARY_DIR}/search_kernel_text.cpp @ONLY)

add_library(tamrix_gpu STATIC
  ${CMAKE_CURRENT_BINARY_DIR}/search_kernel_text.cpp
  opencl_program_source.cpp
  opencl_devices.cpp
  opencl_runtime.cpp
  opencl_search.cpp
  opencl_selftest.cpp
  selftest_vectors.cpp
  benchmark_gpu.cpp
  gpu_device_choice.cpp
  amdgpu_hwmon.cpp
  nvml_api.cpp
  power_nvml.cpp
  power_opencl.cpp
  backend_report.cpp)
# Only the 1.2 entry points are used, so the miner loads with any ICD.
target_compile_definitions(tamrix_gpu PUBLIC CL_TARGET_OPENCL_VERSION=120)
target_link_libraries(tamrix_gpu PUBLIC tamrix_hash OpenCL::OpenCL ${CMAKE_DL_LIBS})
