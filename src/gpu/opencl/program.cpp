#include "gpu/opencl/program.h"

#include "gpu/backend_report.h"

KernelBuild kernel_build_for(cl_uint vendor, cl_device_type type) {
  KernelBuild build;
  build.lane_halves = vendor == kVendorAmd && (type & CL_DEVICE_TYPE_GPU) != 0;
  return build;
}

std::string kernel_build_options(const KernelBuild& build) {
  std::string options = "-cl-std=CL1.2";
  if (build.lane_halves) options += " -D KECCAK_LANE_HALVES=1";
  if (build.unoptimised) options += " -cl-opt-disable -D KERNEL_FORCE_INLINE=";
  return options;
}

cl_program build_opencl_program(cl_context context, const OpenClDevice& device,
                                const std::string& source, const std::string& options,
                                cl_int* error, const char** step) {
  const char* text = source.c_str();
  *step = "program creation";
  cl_program program = clCreateProgramWithSource(context, 1, &text, nullptr, error);
  if (*error != CL_SUCCESS) return nullptr;
  *step = "kernel build";
  *error = clBuildProgram(program, 1, &device.device, options.c_str(), nullptr, nullptr);
  if (*error == CL_SUCCESS) return program;

  size_t size = 0;
  clGetProgramBuildInfo(program, device.device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
  std::string log(size, '\0');
  if (size > 0)
    clGetProgramBuildInfo(program, device.device, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr);
  log.resize(log.find('\0') == std::string::npos ? log.size() : log.find('\0'));
  report_kernel_build_failure(describe_device(device).c_str(), log.c_str());
  clReleaseProgram(program);
  return nullptr;
}
