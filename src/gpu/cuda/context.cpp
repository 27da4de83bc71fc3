#include "gpu/cuda/context.h"

#include <string>

#include "gpu/backend_report.h"
#include "gpu/cuda/search_kernels.h"
#include "gpu/nvml/power_nvml.h"
#include "gpu/search_batch.h"

namespace {

int cuda_device_of(int index) {
  const std::string bus_id = nvml_bus_id_of_index(index);
  int by_bus_id = 0;
  if (!bus_id.empty() && cudaDeviceGetByPCIBusId(&by_bus_id, bus_id.c_str()) == cudaSuccess)
    return by_bus_id;
  // The failed lookup must not linger as the "last error" of a later call.
  cudaGetLastError();
  return index;
}

void release(CudaContext* c) {
  for (CudaSlot& slot : c->slots) {
    if (slot.done != nullptr) cudaEventDestroy(slot.done);
    cudaFree(slot.device_result);
    cudaFreeHost(slot.host_result);
    slot = CudaSlot{};
  }
  if (c->stream != nullptr) cudaStreamDestroy(c->stream);
  *c = CudaContext{};
}

// The batch's commands on the context's stream: the slot's result cleared,
// the grids, the copy of the result to pinned memory, and the event that
// marks the batch's end. The parameters travel by value, inside the
// launches. On failure the commands already queued are harmless: the next
// batch in this slot clears the result first.
CudaStatus enqueue_batch(CudaContext* c, CudaSlot* slot, const gpu_kernel::SearchParams& batch) {
  cudaError_t error = cudaMemsetAsync(slot->device_result, 0, sizeof *slot->device_result, c->stream);
  if (error != cudaSuccess) return CudaStatus{error, "result reset"};
  for (const SearchGrid& grid : search_grids(batch, c->largest_grid, SEARCH_GROUP_SIZE)) {
    error = launch_search_nonces(static_cast<unsigned>(grid.work_items / SEARCH_GROUP_SIZE),
                                 c->stream, grid.params, slot->device_result);
    if (error != cudaSuccess) return CudaStatus{error, "launch"};
  }
  error = cudaMemcpyAsync(slot->host_result, slot->device_result, sizeof *slot->host_result,
                          cudaMemcpyDeviceToHost, c->stream);
  if (error != cudaSuccess) return CudaStatus{error, "result copy"};
  error = cudaEventRecord(slot->done, c->stream);
  if (error != cudaSuccess) return CudaStatus{error, "result copy"};
  return CudaStatus{};
}

}  // namespace

CudaStatus cuda_context_open(int index, CudaContext* c) {
  cuda_context_close(c);
  c->index = index;
  c->cuda_device = cuda_device_of(index);
  CudaStatus status = cuda_use_context_device(*c);
  if (cuda_failed(status)) {
    *c = CudaContext{};
    return status;
  }
  cudaError_t error = cudaStreamCreateWithFlags(&c->stream, cudaStreamNonBlocking);
  for (CudaSlot& slot : c->slots) {
    if (error == cudaSuccess) error = cudaMalloc(&slot.device_result, sizeof *slot.device_result);
    if (error == cudaSuccess) error = cudaMallocHost(&slot.host_result, sizeof *slot.host_result);
    // A blocking wait sleeps instead of spinning, leaving the core to the
    // CPU search; with a batch queued behind, the wake-up costs no GPU time.
    if (error == cudaSuccess)
      error = cudaEventCreateWithFlags(&slot.done, cudaEventDisableTiming | cudaEventBlockingSync);
  }
  if (error != cudaSuccess) {
    release(c);
    return CudaStatus{error, "buffer allocation"};
  }
  return CudaStatus{};
}

void cuda_context_close(CudaContext* c) {
  if (c->stream != nullptr && !cuda_failed(cuda_use_context_device(*c)))
    cudaStreamSynchronize(c->stream);
  release(c);
}

bool cuda_context_is_open(const CudaContext& c) { return c.stream != nullptr; }

CudaStatus cuda_use_context_device(const CudaContext& c) {
  const cudaError_t error = cudaSetDevice(c.cuda_device);
  if (error != cudaSuccess) return CudaStatus{error, "device selection"};
  return CudaStatus{};
}

int cuda_queue_batch(CudaContext* c, int slot_number, const uint8_t header[80],
                     uint32_t start_nonce, uint32_t batch_size, const uint32_t target[8]) {
  if (check_free_slot(slot_number, c->slots) != 0) return -1;
  CudaSlot& slot = c->slots[slot_number];
  slot.empty = batch_size == 0;
  if (!slot.empty) {
    CudaStatus status = cuda_use_context_device(*c);
    if (!cuda_failed(status))
      status = enqueue_batch(c, &slot, search_params(header, start_nonce, batch_size, target));
    if (cuda_failed(status)) return report_cuda_failure(status);
  }
  slot.queued = true;
  return 0;
}

int cuda_collect_batch(CudaContext* c, int slot_number, MiningResult* result) {
  if (result != nullptr) result->found = false;
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
  return 0;
}

int report_cuda_failure(const CudaStatus& status) {
  return report_backend_failure("CUDA error in %s: %s", status.step,
                                cudaGetErrorString(status.error));
}
