#include "gpu/cuda/context.h"

#include <algorithm>

#include "gpu/backend_report.h"
#include "gpu/cuda/search_kernels.h"
#include "gpu/search_batch.h"
#include "gpu/stop_word.h"

namespace {

// Only what was acquired is released: a context never opened makes no
// CUDA call, which would start the runtime.
void release(CudaContext* c) {
  for (CudaSlot& slot : c->slots) {
    if (slot.done != nullptr) cudaEventDestroy(slot.done);
    if (slot.stream != nullptr) cudaStreamDestroy(slot.stream);
    if (slot.device_result != nullptr) cudaFree(slot.device_result);
    if (slot.host_result != nullptr) cudaFreeHost(slot.host_result);
    slot = CudaSlot{};
  }
  if (c->control != nullptr) cudaStreamDestroy(c->control);
  if (c->device_stop != nullptr) cudaFree(c->device_stop);
  if (c->host_stop != nullptr) cudaFreeHost(c->host_stop);
  *c = CudaContext{};
}

bool any_batch_queued(const CudaContext& c) {
  return std::any_of(std::begin(c.slots), std::end(c.slots),
                     [](const CudaSlot& slot) { return slot.queued; });
}

// Streams that neither wait for nor hold up the legacy default stream.
cudaError_t create_stream(cudaStream_t* stream) {
  return cudaStreamCreateWithFlags(stream, cudaStreamNonBlocking);
}

cudaError_t allocate_slot(CudaSlot* slot) {
  cudaError_t error = create_stream(&slot->stream);
  if (error == cudaSuccess) error = cudaMalloc(&slot->device_result, sizeof *slot->device_result);
  if (error == cudaSuccess) error = cudaMallocHost(&slot->host_result, sizeof *slot->host_result);
  // A blocking wait sleeps instead of spinning, leaving the core to the CPU
  // search; with a batch queued behind, the wake-up costs no GPU time.
  if (error == cudaSuccess)
    error = cudaEventCreateWithFlags(&slot->done, cudaEventDisableTiming | cudaEventBlockingSync);
  return error;
}

// The stop word at zero in the card's memory, its pinned host copy, and the
// stream its copies go on.
cudaError_t allocate_stop_word(CudaContext* c) {
  cudaError_t error = create_stream(&c->control);
  if (error == cudaSuccess) error = cudaMalloc(&c->device_stop, sizeof *c->device_stop);
  if (error == cudaSuccess) error = cudaMallocHost(&c->host_stop, sizeof *c->host_stop);
  if (error != cudaSuccess) return error;
  *c->host_stop = 0;
  return cudaMemset(c->device_stop, 0, sizeof *c->device_stop);
}

// The batch's commands on the slot's stream: the slot's result cleared, the
// launches' grids, the copy of the result to pinned memory, and the event
// that marks the batch's end. The parameters travel by value, inside the
// launches. On failure the commands already queued are harmless: the next
// batch in this slot clears the result first.
CudaStatus enqueue_batch(CudaContext* c, CudaSlot* slot, const gpu_kernel::SearchParams& batch,
                         uint32_t launch_size) {
  cudaError_t error =
      cudaMemsetAsync(slot->device_result, 0, sizeof *slot->device_result, slot->stream);
  if (error != cudaSuccess) return CudaStatus{error, "result reset"};
  error = for_each_launch_grid(batch, launch_size, c->largest_grid, SEARCH_GROUP_SIZE,
                               [c, slot](const SearchGrid& grid) {
                                 return launch_search_nonces(
                                     static_cast<unsigned>(grid.work_items / SEARCH_GROUP_SIZE),
                                     slot->stream, grid.params, slot->device_result,
                                     c->device_stop, c->stops_seen);
                               });
  if (error != cudaSuccess) return CudaStatus{error, "launch"};
  error = cudaMemcpyAsync(slot->host_result, slot->device_result, sizeof *slot->host_result,
                          cudaMemcpyDeviceToHost, slot->stream);
  if (error != cudaSuccess) return CudaStatus{error, "result copy"};
  error = cudaEventRecord(slot->done, slot->stream);
  if (error != cudaSuccess) return CudaStatus{error, "result copy"};
  return CudaStatus{};
}

}  // namespace

CudaStatus cuda_context_open(int cuda_device, CudaContext* c) {
  cuda_context_close(c);
  c->cuda_device = cuda_device;
  const CudaStatus status = cuda_use_context_device(*c);
  if (cuda_failed(status)) {
    *c = CudaContext{};
    return status;
  }
  cudaError_t error = cudaSuccess;
  for (CudaSlot& slot : c->slots)
    if (error == cudaSuccess) error = allocate_slot(&slot);
  if (error == cudaSuccess) error = allocate_stop_word(c);
  if (error != cudaSuccess) {
    release(c);
    return CudaStatus{error, "buffer allocation"};
  }
  return CudaStatus{};
}

void cuda_context_close(CudaContext* c) {
  if (cuda_context_is_open(*c)) cuda_context_wait(*c);
  release(c);
}

bool cuda_context_is_open(const CudaContext& c) { return c.control != nullptr; }

CudaStatus cuda_use_context_device(const CudaContext& c) {
  const cudaError_t error = cudaSetDevice(c.cuda_device);
  if (error != cudaSuccess) return CudaStatus{error, "device selection"};
  return CudaStatus{};
}

CudaStatus cuda_context_wait(const CudaContext& c) {
  CudaStatus status = cuda_use_context_device(c);
  for (const CudaSlot& slot : c.slots) {
    if (cuda_failed(status) || slot.stream == nullptr) continue;
    const cudaError_t error = cudaStreamSynchronize(slot.stream);
    if (error != cudaSuccess) status = CudaStatus{error, "search"};
  }
  if (!cuda_failed(status) && c.control != nullptr) {
    const cudaError_t error = cudaStreamSynchronize(c.control);
    if (error != cudaSuccess) status = CudaStatus{error, "stop word copy"};
  }
  return status;
}

int cuda_queue_batch(CudaContext* c, int slot_number, const uint8_t header[80],
                     uint32_t start_nonce, uint32_t batch_size, uint32_t launch_size,
                     const uint32_t target[8]) {
  if (check_free_slot(slot_number, c->slots) != 0) return -1;
  CudaSlot& slot = c->slots[slot_number];
  slot.empty = batch_size == 0;
  if (!slot.empty) {
    // A device with no batch queued leaves behind the cut of any cancel so far.
    if (!any_batch_queued(*c)) c->stops_seen = stop_requests_so_far(&c->stop_requests);
    CudaStatus status = cuda_use_context_device(*c);
    if (!cuda_failed(status))
      status = enqueue_batch(c, &slot, search_params(header, start_nonce, batch_size, target),
                             launch_size);
    if (cuda_failed(status)) return report_cuda_failure(status);
  }
  slot.batch_size = batch_size;
  slot.queued = true;
  return 0;
}

int cuda_collect_batch(CudaContext* c, int slot_number, MiningResult* result, uint64_t* searched) {
  if (result != nullptr) result->found = false;
  if (searched != nullptr) *searched = 0;
  if (!holds_batch(slot_number, c->slots)) return -1;
  CudaSlot& slot = c->slots[slot_number];
  slot.queued = false;
  if (slot.empty) return 0;
  CudaStatus status = cuda_use_context_device(*c);
  if (!cuda_failed(status)) {
    // A fault inside the kernel is reported here.
    const cudaError_t error = cudaEventSynchronize(slot.done);
    if (error != cudaSuccess) status = CudaStatus{error, "search"};
  }
  if (cuda_failed(status)) return report_cuda_failure(status);
  read_solution(*slot.host_result, result);
  if (searched != nullptr) *searched = searched_nonces(*slot.host_result, slot.batch_size);
  return 0;
}

void cuda_cancel_batches(CudaContext* c) {
  if (!cuda_context_is_open(*c)) return;
  raise_stop_word(c->host_stop, count_stop_request(&c->stop_requests));
  // The copy reads the pinned word when it runs, by then perhaps raised
  // further by a later cancel: never lower than this one.
  CudaStatus status = cuda_use_context_device(*c);
  if (!cuda_failed(status)) {
    const cudaError_t error = cudaMemcpyAsync(c->device_stop, c->host_stop, sizeof *c->host_stop,
                                              cudaMemcpyHostToDevice, c->control);
    if (error != cudaSuccess) status = CudaStatus{error, "stop word copy"};
  }
  if (cuda_failed(status)) report_cuda_failure(status);
}

int report_cuda_failure(const CudaStatus& status) {
  return report_backend_failure("CUDA error in %s: %s", status.step,
                                cudaGetErrorString(status.error));
}
