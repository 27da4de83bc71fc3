# The OpenCL variant of the GPU backend (-DTAMRIX_GPU=opencl): OpenCL 1.2
# through the ICD loader, so one binary serves whatever platforms the machine
# has installed (AMD, Intel, NVIDIA, or POCL on the CPU). The kernel's text
# is built into the binary and compiled by the platform at the first launch.

find_package(OpenCL REQUIRED)

# The program's text, kernel/vendor.h then kernel/search_kernel.cl, becomes a
# C++ raw string at configure time; editing either reruns the configure step.
set(kernel_dir ${CMAKE_CURRENT_SOURCE_DIR}/kernel)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${kernel_dir}/vendor.h ${kernel_dir}/search_kernel.cl)
file(READ ${kernel_dir}/vendor.h vendor_text)
file(READ ${kernel_dir}/search_kernel.cl kernel_text)
set(TAMRIX_SEARCH_PROGRAM "${vendor_text}${kernel_text}")
string(FIND "${TAMRIX_SEARCH_PROGRAM}" ")opencl_c\"" raw_string_end)
if(NOT raw_string_end EQUAL -1)
  message(FATAL_ERROR "the kernel's text contains the raw string's closing delimiter")
endif()
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/opencl/kernel_text.cpp.in
               ${CMAKE_CURRENT_BINARY_DIR}/kernel_text.cpp @ONLY)

add_library(tamrix_gpu STATIC
  ${CMAKE_CURRENT_BINARY_DIR}/kernel_text.cpp
  opencl/backend_opencl.cpp
  opencl/context.cpp
  opencl/devices.cpp
  opencl/power_control.cpp
  opencl/program.cpp
  opencl/selftest.cpp
  amdgpu/amdgpu_hwmon.cpp
  ${TAMRIX_GPU_SHARED_SOURCES})
# Only the 1.2 entry points are used, so the miner loads with any ICD.
target_compile_definitions(tamrix_gpu PUBLIC CL_TARGET_OPENCL_VERSION=120)
target_link_libraries(tamrix_gpu PUBLIC tamrix_hash OpenCL::OpenCL ${CMAKE_DL_LIBS})
