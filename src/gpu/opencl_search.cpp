// The OpenCL nonce search: one launch searches one batch of consecutive nonces.

#include <CL/cl.h>

#include <algorithm>
#include <cstdint>

#include "gpu/backend.h"
#include "gpu/keccak_gpu.cuh"  // its host half: the target as lanes
#include "gpu/opencl_runtime.h"
#include "hash/byte_order.h"
#include "hash/header_midstate.h"

namespace {

SearchParams search_params(const uint8_t header[80], const uint32_t target[8]) {
  HeaderMidstate midstate;
  header_midstate_init(&midstate, header);
  SearchParams params;
  std::copy(std::begin(midstate.round1_base), std::end(midstate.round1_base), params.round1_base);
  keccak_gpu::target_to_lanes(target, params.target_lanes);
  return params;
}

// The launch's work-items: the whole batch when it fits in one grid, else
// the grid, whose work-items then stride over the batch.
size_t work_items(const OpenClRuntime& r, uint32_t batch_size) {
  const size_t groups = (static_cast<size_t>(batch_size) + r.work_group - 1) / r.work_group;
  return std::min(groups * r.work_group, r.grid);
}

// Every call blocks until the batch is done, so the buffers are free again
// when it returns; the queue is in order, so the write of the parameters
// lands before the kernel reads them.
cl_int run_batch(OpenClRuntime* r, const SearchParams& params, uint32_t start_nonce,
                 uint32_t batch_size, SolutionSlot* found, const char** step) {
  *step = "parameter upload";
  cl_int error = clEnqueueWriteBuffer(r->queue, r->params, CL_FALSE, 0, sizeof params, &params, 0,
                                      nullptr, nullptr);
  if (error != CL_SUCCESS) return error;
  *step = "kernel arguments";
  error = clSetKernelArg(r->search, 0, sizeof(cl_mem), &r->params);
  if (error == CL_SUCCESS) error = clSetKernelArg(r->search, 1, sizeof(cl_uint), &start_nonce);
  if (error == CL_SUCCESS) error = clSetKernelArg(r->search, 2, sizeof(cl_uint), &batch_size);
  if (error == CL_SUCCESS) error = clSetKernelArg(r->search, 3, sizeof(cl_mem), &r->slot);
  if (error != CL_SUCCESS) return error;
  *step = "launch";
  const size_t global = work_items(*r, batch_size);
  error = clEnqueueNDRangeKernel(r->queue, r->search, 1, nullptr, &global, &r->work_group, 0,
                                 nullptr, nullptr);
  if (error != CL_SUCCESS) return error;
  // The blocking read waits for the kernel, so a fault inside it is reported here.
  *step = "search";
  error = clEnqueueReadBuffer(r->queue, r->slot, CL_TRUE, 0, sizeof *found, found, 0, nullptr,
                              nullptr);
  if (error != CL_SUCCESS) return error;
  // Only a batch that found something dirtied the slot.
  if (found->claimed != 0u) {
    *step = "result reset";
    const SolutionSlot clean{};
    error = clEnqueueWriteBuffer(r->queue, r->slot, CL_TRUE, 0, sizeof clean, &clean, 0, nullptr,
                                 nullptr);
  }
  return error;
}

}  // namespace

int launch_mining_kernel(const uint8_t header[80], uint32_t start_nonce, uint32_t batch_size,
                         const uint32_t target[8], MiningResult* result) {
  if (result != nullptr) result->found = false;
  if (batch_size == 0) return 0;

  OpenClRuntime* r = opencl_runtime();
  if (r == nullptr) return -1;

  SolutionSlot found{};
  const char* step = "";
  const cl_int error = run_batch(r, search_params(header, target), start_nonce, batch_size, &found,
                                 &step);
  if (error != CL_SUCCESS) return report_opencl_failure(step, error);

  if (found.claimed != 0u && result != nullptr) {
    result->nonce = found.nonce;
    for (int w = 0; w < 8; ++w) store_le32(result->hash + 4 * w, found.head_words[w]);
    result->found = true;
  }
  return 0;
}
