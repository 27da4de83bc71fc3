#include "gpu/opencl_runtime.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "gpu/backend_report.h"
#include "gpu/gpu_device_choice.h"
#include "gpu/opencl_program_source.h"

namespace {

// A search launch runs at most this many work groups per compute unit; with
// the grid-stride loop, larger batches simply take more turns. Enough groups
// to hide a GPU's latencies, few enough that a small batch is not padded far.
constexpr size_t kGroupsPerComputeUnit = 16;
constexpr size_t kLargestWorkGroup = 256;

OpenClRuntime runtime;

void release(OpenClRuntime* r) {
  if (r->params != nullptr) clReleaseMemObject(r->params);
  if (r->slot != nullptr) clReleaseMemObject(r->slot);
  if (r->search != nullptr) clReleaseKernel(r->search);
  if (r->self_test != nullptr) clReleaseKernel(r->self_test);
  if (r->program != nullptr) clReleaseProgram(r->program);
  if (r->queue != nullptr) clReleaseCommandQueue(r->queue);
  if (r->context != nullptr) clReleaseContext(r->context);
  *r = OpenClRuntime{};
}

// Gives back what a failed preparation had acquired; returns null.
OpenClRuntime* fail(OpenClRuntime* r, const char* step, cl_int code) {
  report_opencl_failure(step, code);
  release(r);
  return nullptr;
}

OpenClRuntime* prepare(OpenClRuntime* r, int index) {
  std::string why;
  const std::vector<OpenClDevice> devices = list_opencl_devices(&why);
  if (devices.empty()) {
    report_backend_failure("%s", why.c_str());
    return nullptr;
  }
  if (index < 0 || static_cast<size_t>(index) >= devices.size()) {
    report_backend_failure("no OpenCL device %d (this machine has %zu, from 0 to %zu)", index,
                           devices.size(), devices.size() - 1);
    return nullptr;
  }
  r->index = index;
  r->device = devices[static_cast<size_t>(index)];
  r->name = describe_device(r->device);

  cl_int error = CL_SUCCESS;
  const cl_context_properties properties[] = {
      CL_CONTEXT_PLATFORM, reinterpret_cast<cl_context_properties>(r->device.platform), 0};
  r->context = clCreateContext(properties, 1, &r->device.device, nullptr, nullptr, &error);
  if (error != CL_SUCCESS) return fail(r, "context creation", error);
  r->queue = clCreateCommandQueue(r->context, r->device.device, 0, &error);
  if (error != CL_SUCCESS) return fail(r, "queue creation", error);

  const char* step = "";
  r->program = build_opencl_program(r->context, r->device, opencl_program_source(), &error, &step);
  if (error != CL_SUCCESS) return fail(r, step, error);
  r->search = clCreateKernel(r->program, "search_nonces", &error);
  if (error != CL_SUCCESS) return fail(r, "kernel lookup", error);
  r->self_test = clCreateKernel(r->program, "self_test_hashes", &error);
  if (error != CL_SUCCESS) return fail(r, "kernel lookup", error);

  r->params = clCreateBuffer(r->context, CL_MEM_READ_ONLY, sizeof(SearchParams), nullptr, &error);
  if (error != CL_SUCCESS) return fail(r, "buffer allocation", error);
  SolutionSlot empty{};
  r->slot = clCreateBuffer(r->context, CL_MEM_READ_WRITE | CL_MEM_COPY_HOST_PTR, sizeof empty,
                           &empty, &error);
  if (error != CL_SUCCESS) return fail(r, "buffer allocation", error);

  size_t kernel_group = 0;
  cl_uint compute_units = 0;
  error = clGetKernelWorkGroupInfo(r->search, r->device.device, CL_KERNEL_WORK_GROUP_SIZE,
                                   sizeof kernel_group, &kernel_group, nullptr);
  if (error == CL_SUCCESS)
    error = clGetDeviceInfo(r->device.device, CL_DEVICE_MAX_COMPUTE_UNITS, sizeof compute_units,
                            &compute_units, nullptr);
  if (error != CL_SUCCESS) return fail(r, "device query", error);
  r->work_group = std::max<size_t>(1, std::min(kernel_group, kLargestWorkGroup));
  r->grid = r->work_group * kGroupsPerComputeUnit * std::max<cl_uint>(1, compute_units);

  std::printf("tamrix-miner: OpenCL device %d: %s\n", index, r->name.c_str());
  std::fflush(stdout);
  return r;
}

}  // namespace

OpenClRuntime* opencl_runtime() {
  const int index = chosen_gpu_device().index;
  if (runtime.context != nullptr && runtime.index == index) return &runtime;
  release(&runtime);
  return prepare(&runtime, index);
}

cl_program build_opencl_program(cl_context context, const OpenClDevice& device,
                                const std::string& source, cl_int* error, const char** step) {
  const char* text = source.c_str();
  *step = "program creation";
  cl_program program = clCreateProgramWithSource(context, 1, &text, nullptr, error);
  if (*error != CL_SUCCESS) return nullptr;
  *step = "kernel build";
  *error = clBuildProgram(program, 1, &device.device, "-cl-std=CL1.2", nullptr, nullptr);
  if (*error == CL_SUCCESS) return program;

  size_t size = 0;
  clGetProgramBuildInfo(program, device.device, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
  std::string log(size, '\0');
  if (size > 0)
    clGetProgramBuildInfo(program, device.device, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr);
  log.resize(log.find('\0') == std::string::npos ? log.size() : log.find('\0'));
  std::fprintf(stderr, "tamrix-miner: the OpenCL kernel did not build on %s:\n%s\n",
               describe_device(device).c_str(), log.c_str());
  clReleaseProgram(program);
  return nullptr;
}

int report_opencl_failure(const char* step, cl_int code) {
  return report_backend_failure("OpenCL error in %s: %s (%d)", step, opencl_error_name(code), code);
}
