#pragma once

#include <CL/cl.h>

#include <string>

#include "gpu/opencl/devices.h"

// The OpenCL program of the search: gpu/kernel/vendor.h followed by
// gpu/kernel/search_kernel.cl, built into the binary at configure time, and
// the options it is built with. tools/kernel-report.sh compiles the same
// text with the same options.
const char* search_program_text();

// How the program is built for a device.
struct KernelBuild {
  bool lane_halves = false;  // the 32-bit-halves lane form (KECCAK_LANE_HALVES)
  bool unoptimised = false;  // no optimisation and no forced inlining: every
                             // function a real call (a test of the source)
};

// The form that suits a device: the 32-bit halves for AMD GPUs, whose
// compilers make 64-bit rotations into 64-bit shifts, the 64-bit lanes for
// every other device (an AMD processor under a CPU runtime included).
KernelBuild kernel_build_for(cl_uint vendor, cl_device_type type);

// clBuildProgram's options for a build.
std::string kernel_build_options(const KernelBuild& build);

// Builds `source` for the device with `options`. A failed build reports the
// compiler's log (report_kernel_build_failure). Returns null on failure,
// with *error and *step (the call that failed) set.
cl_program build_opencl_program(cl_context context, const OpenClDevice& device,
                                const std::string& source, const std::string& options,
                                cl_int* error, const char** step);
