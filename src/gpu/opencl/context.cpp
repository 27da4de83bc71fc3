#include "gpu/opencl/context.h"

#include <algorithm>
#include <string>
#include <vector>

#include "gpu/backend_report.h"
#include "gpu/search_batch.h"

namespace {

void release_slot(OpenClSlot* slot) {
  if (slot->done != nullptr) clReleaseEvent(slot->done);
  if (slot->result != nullptr) clReleaseMemObject(slot->result);
  *slot = OpenClSlot{};
}

void release(OpenClContext* c) {
  for (OpenClSlot& slot : c->slots) release_slot(&slot);
  if (c->search != nullptr) clReleaseKernel(c->search);
  if (c->self_test != nullptr) clReleaseKernel(c->self_test);
  if (c->program != nullptr) clReleaseProgram(c->program);
  if (c->queue != nullptr) clReleaseCommandQueue(c->queue);
  if (c->context != nullptr) clReleaseContext(c->context);
  *c = OpenClContext{};
}

// Gives back what a failed open had acquired; returns false.
bool fail(OpenClContext* c, const char* step, cl_int code) {
  report_opencl_failure(step, code);
  release(c);
  return false;
}

// Enqueues the batch's commands: the slot's result cleared, the grids, and
// the non-blocking read of the result, whose event marks the batch's end.
// Nothing enqueued reads host memory after this returns; the read writes
// only the context's own slot. On failure the commands already enqueued
// are harmless: the next batch in this slot clears the result first.
cl_int enqueue_batch(OpenClContext* c, OpenClSlot* slot, const gpu_kernel::SearchParams& batch,
                     const char** step) {
  *step = "result reset";
  const cl_uint zero = 0;
  cl_int error = clEnqueueFillBuffer(c->queue, slot->result, &zero, sizeof zero, 0,
                                     sizeof(gpu_kernel::SolutionSlot), 0, nullptr, nullptr);
  if (error != CL_SUCCESS) return error;
  for (const SearchGrid& grid : search_grids(batch, c->largest_grid, c->work_group)) {
    *step = "kernel arguments";
    // Both arguments are copied here, the parameters by value.
    error = clSetKernelArg(c->search, 0, sizeof grid.params, &grid.params);
    if (error == CL_SUCCESS) error = clSetKernelArg(c->search, 1, sizeof(cl_mem), &slot->result);
    if (error != CL_SUCCESS) return error;
    *step = "launch";
    const size_t global = static_cast<size_t>(grid.work_items);
    error = clEnqueueNDRangeKernel(c->queue, c->search, 1, nullptr, &global, &c->work_group, 0,
                                   nullptr, nullptr);
    if (error != CL_SUCCESS) return error;
  }
  *step = "result read";
  error = clEnqueueReadBuffer(c->queue, slot->result, CL_FALSE, 0, sizeof slot->found, &slot->found,
                              0, nullptr, &slot->done);
  if (error != CL_SUCCESS) return error;
  *step = "queue flush";
  // Until flushed, a runtime may hold the commands back.
  return clFlush(c->queue);
}

}  // namespace

bool opencl_context_open(int index, const OpenClOptions& options, OpenClContext* c) {
  opencl_context_close(c);
  std::string why;
  const std::vector<OpenClDevice> devices = list_opencl_devices(&why);
  if (devices.empty()) {
    report_backend_failure("%s", why.c_str());
    return false;
  }
  if (index < 0 || static_cast<size_t>(index) >= devices.size()) {
    report_backend_failure("no OpenCL device %d (this machine has %zu, from 0 to %zu)", index,
                           devices.size(), devices.size() - 1);
    return false;
  }
  c->index = index;
  c->device = devices[static_cast<size_t>(index)];
  c->name = describe_device(c->device);
  c->build = options.choose_build_for_device
                 ? kernel_build_for(device_vendor(c->device), c->device.type)
                 : options.build;

  cl_int error = CL_SUCCESS;
  const cl_context_properties properties[] = {
      CL_CONTEXT_PLATFORM, reinterpret_cast<cl_context_properties>(c->device.platform), 0};
  c->context = clCreateContext(properties, 1, &c->device.device, nullptr, nullptr, &error);
  if (error != CL_SUCCESS) return fail(c, "context creation", error);
  c->queue = clCreateCommandQueue(c->context, c->device.device, 0, &error);
  if (error != CL_SUCCESS) return fail(c, "queue creation", error);

  const char* step = "";
  c->program = build_opencl_program(c->context, c->device, search_program_text(),
                                    kernel_build_options(c->build), &error, &step);
  if (error != CL_SUCCESS) return fail(c, step, error);
  c->search = clCreateKernel(c->program, "search_nonces", &error);
  if (error != CL_SUCCESS) return fail(c, "kernel lookup", error);
  c->self_test = clCreateKernel(c->program, "self_test_hashes", &error);
  if (error != CL_SUCCESS) return fail(c, "kernel lookup", error);

  for (OpenClSlot& slot : c->slots) {
    slot.result = clCreateBuffer(c->context, CL_MEM_READ_WRITE, sizeof(gpu_kernel::SolutionSlot),
                                 nullptr, &error);
    if (error != CL_SUCCESS) return fail(c, "buffer allocation", error);
  }

  size_t kernel_group = 0;
  error = clGetKernelWorkGroupInfo(c->search, c->device.device, CL_KERNEL_WORK_GROUP_SIZE,
                                   sizeof kernel_group, &kernel_group, nullptr);
  if (error != CL_SUCCESS) return fail(c, "device query", error);
  c->work_group = std::max<size_t>(1, std::min<size_t>(kernel_group, SEARCH_GROUP_SIZE));
  c->largest_grid = options.largest_grid;
  return true;
}

void opencl_context_close(OpenClContext* c) {
  if (c->queue != nullptr) clFinish(c->queue);
  release(c);
}

bool opencl_context_is_open(const OpenClContext& c) { return c.context != nullptr; }

int opencl_queue_batch(OpenClContext* c, int slot_number, const uint8_t header[80],
                       uint32_t start_nonce, uint32_t batch_size, const uint32_t target[8]) {
  if (check_free_slot(slot_number, c->slots) != 0) return -1;
  OpenClSlot& slot = c->slots[slot_number];
  if (batch_size > 0) {
    const char* step = "";
    const cl_int error =
        enqueue_batch(c, &slot, search_params(header, start_nonce, batch_size, target), &step);
    if (error != CL_SUCCESS) {
      if (slot.done != nullptr) {
        clReleaseEvent(slot.done);
        slot.done = nullptr;
      }
      return report_opencl_failure(step, error);
    }
  }
  slot.queued = true;
  return 0;
}

int opencl_collect_batch(OpenClContext* c, int slot_number, MiningResult* result) {
  if (result != nullptr) result->found = false;
  if (!holds_batch(slot_number, c->slots)) return -1;
  OpenClSlot& slot = c->slots[slot_number];
  slot.queued = false;
  if (slot.done == nullptr) return 0;  // an empty batch
  cl_int error = clWaitForEvents(1, &slot.done);
  cl_int status = CL_COMPLETE;
  if (error == CL_SUCCESS)
    error = clGetEventInfo(slot.done, CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof status, &status,
                           nullptr);
  clReleaseEvent(slot.done);
  slot.done = nullptr;
  if (error == CL_SUCCESS && status < 0) error = status;
  if (error != CL_SUCCESS) return report_opencl_failure("search", error);
  read_solution(slot.found, result);
  return 0;
}

int report_opencl_failure(const char* step, cl_int code) {
  return report_backend_failure("OpenCL error in %s: %s (%d)", step, opencl_error_name(code), code);
}
