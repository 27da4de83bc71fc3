#include "gpu/opencl/context.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "gpu/backend_report.h"
#include "gpu/search_batch.h"
#include "gpu/stop_word.h"

namespace {

// The stop word's host page: page-aligned and a whole number of cache lines,
// which is what runtimes want before they use host memory in place.
constexpr size_t kStopPage = 4096;
constexpr size_t kStopBufferBytes = 64;

// search_nonces' arguments.
constexpr cl_uint kArgParams = 0;
constexpr cl_uint kArgSlot = 1;
constexpr cl_uint kArgStopWord = 2;
constexpr cl_uint kArgStopsSeen = 3;

void release_slot(OpenClSlot* slot) {
  if (slot->done != nullptr) clReleaseEvent(slot->done);
  if (slot->result != nullptr) clReleaseMemObject(slot->result);
  if (slot->queue != nullptr) clReleaseCommandQueue(slot->queue);
  *slot = OpenClSlot{};
}

void release(OpenClContext* c) {
  for (OpenClSlot& slot : c->slots) release_slot(&slot);
  if (c->search != nullptr) clReleaseKernel(c->search);
  if (c->self_test != nullptr) clReleaseKernel(c->self_test);
  if (c->program != nullptr) clReleaseProgram(c->program);
  if (c->control != nullptr) clReleaseCommandQueue(c->control);
  if (c->stop_word != nullptr) clReleaseMemObject(c->stop_word);
  if (c->context != nullptr) clReleaseContext(c->context);
  std::free(c->stop_host);
  *c = OpenClContext{};
}

// Gives back what a failed open had acquired; returns false.
bool fail(OpenClContext* c, const char* step, cl_int code) {
  report_opencl_failure(step, code);
  release(c);
  return false;
}

bool any_batch_queued(const OpenClContext& c) {
  return std::any_of(std::begin(c.slots), std::end(c.slots),
                     [](const OpenClSlot& slot) { return slot.queued; });
}

StopWordPlace stop_word_place_for(const OpenClDevice& device, StopWordPlace asked) {
  if (asked != StopWordPlace::automatic) return asked;
  cl_bool unified = CL_FALSE;
  clGetDeviceInfo(device.device, CL_DEVICE_HOST_UNIFIED_MEMORY, sizeof unified, &unified, nullptr);
  return unified == CL_TRUE ? StopWordPlace::host_memory : StopWordPlace::device_memory;
}

// The stop word at zero, where options.stop_word_place puts it.
cl_int create_stop_word(OpenClContext* c, StopWordPlace asked) {
  c->stop_place = stop_word_place_for(c->device, asked);
  c->stop_host = static_cast<uint32_t*>(std::aligned_alloc(kStopPage, kStopPage));
  if (c->stop_host == nullptr) return CL_OUT_OF_HOST_MEMORY;
  std::memset(c->stop_host, 0, kStopPage);
  cl_int error = CL_SUCCESS;
  if (c->stop_place == StopWordPlace::host_memory) {
    c->stop_word = clCreateBuffer(c->context, CL_MEM_READ_ONLY | CL_MEM_USE_HOST_PTR,
                                  kStopBufferBytes, c->stop_host, &error);
    return error;
  }
  c->stop_word = clCreateBuffer(c->context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                                sizeof(uint32_t), c->stop_host, &error);
  if (error != CL_SUCCESS) return error;
  c->control = clCreateCommandQueue(c->context, c->device.device, 0, &error);
  return error;
}

// Builds the program, with a line when that takes longer than
// options.slow_build: an OpenCL compiler may take minutes over the kernel
// (POCL's first build of the 32-bit halves takes about 100 s of one core),
// and a stop during it waits for it. The line then says what the wait is.
cl_program build_announcing_a_slow_build(OpenClContext* c, const OpenClOptions& options,
                                         cl_int* error, const char** step) {
  std::future<cl_program> build = std::async(std::launch::async, [c, error, step] {
    return build_opencl_program(c->context, c->device, search_program_text(),
                                kernel_build_options(c->build), error, step);
  });
  if (build.wait_for(options.slow_build) != std::future_status::ready) {
    std::printf(
        "tamrix-miner: building the kernel for OpenCL device %d: %s (a stop waits for it)\n",
        c->index, c->name.c_str());
    std::fflush(stdout);
  }
  return build.get();
}

// Enqueues the batch's commands on the slot's queue: the slot's result
// cleared, the launches' grids, and the non-blocking read of the result,
// whose event marks the batch's end. Nothing enqueued reads host memory after
// this returns; the read writes only the context's own slot. On failure the
// commands already enqueued are harmless: the next batch in this slot clears
// the result first.
cl_int enqueue_batch(OpenClContext* c, OpenClSlot* slot, const gpu_kernel::SearchParams& batch,
                     uint32_t launch_size, const char** step) {
  *step = "result reset";
  const cl_uint zero = 0;
  cl_int error = clEnqueueFillBuffer(slot->queue, slot->result, &zero, sizeof zero, 0,
                                     sizeof(gpu_kernel::SolutionSlot), 0, nullptr, nullptr);
  if (error != CL_SUCCESS) return error;
  *step = "kernel arguments";
  // Every argument is copied when it is set, the parameters by value.
  error = clSetKernelArg(c->search, kArgSlot, sizeof(cl_mem), &slot->result);
  if (error == CL_SUCCESS)
    error = clSetKernelArg(c->search, kArgStopsSeen, sizeof c->stops_seen, &c->stops_seen);
  if (error != CL_SUCCESS) return error;
  error = for_each_launch_grid(batch, launch_size, c->largest_grid, c->work_group,
                               [&](const SearchGrid& grid) {
                                 *step = "kernel arguments";
                                 cl_int status = clSetKernelArg(c->search, kArgParams,
                                                                sizeof grid.params, &grid.params);
                                 if (status != CL_SUCCESS) return status;
                                 *step = "launch";
                                 const size_t global = static_cast<size_t>(grid.work_items);
                                 return clEnqueueNDRangeKernel(slot->queue, c->search, 1, nullptr,
                                                               &global, &c->work_group, 0, nullptr,
                                                               nullptr);
                               });
  if (error != CL_SUCCESS) return error;
  *step = "result read";
  error = clEnqueueReadBuffer(slot->queue, slot->result, CL_FALSE, 0, sizeof slot->found,
                              &slot->found, 0, nullptr, &slot->done);
  if (error != CL_SUCCESS) return error;
  *step = "queue flush";
  // Until flushed, a runtime may hold the commands back.
  return clFlush(slot->queue);
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
  for (OpenClSlot& slot : c->slots) {
    slot.queue = clCreateCommandQueue(c->context, c->device.device, 0, &error);
    if (error != CL_SUCCESS) return fail(c, "queue creation", error);
    slot.result = clCreateBuffer(c->context, CL_MEM_READ_WRITE, sizeof(gpu_kernel::SolutionSlot),
                                 nullptr, &error);
    if (error != CL_SUCCESS) return fail(c, "buffer allocation", error);
  }
  error = create_stop_word(c, options.stop_word_place);
  if (error != CL_SUCCESS) return fail(c, "stop word allocation", error);

  const char* step = "";
  c->program = build_announcing_a_slow_build(c, options, &error, &step);
  if (error != CL_SUCCESS) return fail(c, step, error);
  c->search = clCreateKernel(c->program, "search_nonces", &error);
  if (error != CL_SUCCESS) return fail(c, "kernel lookup", error);
  c->self_test = clCreateKernel(c->program, "self_test_hashes", &error);
  if (error != CL_SUCCESS) return fail(c, "kernel lookup", error);
  error = clSetKernelArg(c->search, kArgStopWord, sizeof(cl_mem), &c->stop_word);
  if (error != CL_SUCCESS) return fail(c, "kernel arguments", error);

  size_t kernel_group = 0;
  error = clGetKernelWorkGroupInfo(c->search, c->device.device, CL_KERNEL_WORK_GROUP_SIZE,
                                   sizeof kernel_group, &kernel_group, nullptr);
  if (error != CL_SUCCESS) return fail(c, "device query", error);
  c->work_group = std::max<size_t>(1, std::min<size_t>(kernel_group, SEARCH_GROUP_SIZE));
  c->largest_grid = options.largest_grid;
  return true;
}

void opencl_context_close(OpenClContext* c) {
  for (OpenClSlot& slot : c->slots)
    if (slot.queue != nullptr) clFinish(slot.queue);
  if (c->control != nullptr) clFinish(c->control);
  release(c);
}

bool opencl_context_is_open(const OpenClContext& c) { return c.context != nullptr; }

int opencl_queue_batch(OpenClContext* c, int slot_number, const uint8_t header[80],
                       uint32_t start_nonce, uint32_t batch_size, uint32_t launch_size,
                       const uint32_t target[8]) {
  if (check_free_slot(slot_number, c->slots) != 0) return -1;
  OpenClSlot& slot = c->slots[slot_number];
  if (batch_size > 0) {
    // A device with no batch queued leaves behind the cut of any cancel so far.
    if (!any_batch_queued(*c)) c->stops_seen = stop_requests_so_far(&c->stop_requests);
    const char* step = "";
    const cl_int error = enqueue_batch(
        c, &slot, search_params(header, start_nonce, batch_size, target), launch_size, &step);
    if (error != CL_SUCCESS) {
      if (slot.done != nullptr) {
        clReleaseEvent(slot.done);
        slot.done = nullptr;
      }
      return report_opencl_failure(step, error);
    }
  }
  slot.batch_size = batch_size;
  slot.queued = true;
  return 0;
}

int opencl_collect_batch(OpenClContext* c, int slot_number, MiningResult* result,
                         uint64_t* searched) {
  if (result != nullptr) result->found = false;
  if (searched != nullptr) *searched = 0;
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
  if (searched != nullptr) *searched = searched_nonces(slot.found, slot.batch_size);
  return 0;
}

void opencl_cancel_batches(OpenClContext* c) {
  if (c->stop_host == nullptr) return;
  const uint32_t count = count_stop_request(&c->stop_requests);
  raise_stop_word(c->stop_host, count);
  if (c->stop_place != StopWordPlace::device_memory) return;
  // The write reads the host's word when it runs, by then perhaps raised
  // further by a later cancel: never lower than this one.
  cl_int error = clEnqueueWriteBuffer(c->control, c->stop_word, CL_FALSE, 0, sizeof(uint32_t),
                                      c->stop_host, 0, nullptr, nullptr);
  if (error == CL_SUCCESS) error = clFlush(c->control);
  if (error != CL_SUCCESS) report_opencl_failure("stop word write", error);
}

int report_opencl_failure(const char* step, cl_int code) {
  return report_backend_failure("OpenCL error in %s: %s (%d)", step, opencl_error_name(code), code);
}
