// The OpenCL device's SHA3-512 checked against the CPU reference, for
// test_sha3_512_gpu and the tests.

#include "gpu/opencl/selftest.h"

#include <CL/cl.h>

#include <cstdint>

#include "gpu/selftest_vectors.h"
#include "hash/header_midstate.h"

namespace {

constexpr int kDigestLanes = 12;  // per header: 8 of the full digest, then 4 of the search path

struct SelfTestBuffers {
  cl_mem messages = nullptr;
  cl_mem round1_bases = nullptr;
  cl_mem digests = nullptr;
  ~SelfTestBuffers() {
    if (messages != nullptr) clReleaseMemObject(messages);
    if (round1_bases != nullptr) clReleaseMemObject(round1_bases);
    if (digests != nullptr) clReleaseMemObject(digests);
  }
};

cl_int hash_on_device(OpenClContext* r, uint8_t headers[kSelfTestVectors][80],
                      HeaderMidstate midstates[kSelfTestVectors],
                      cl_ulong digests[kSelfTestVectors][kDigestLanes], const char** step) {
  SelfTestBuffers buffers;
  cl_int error = CL_SUCCESS;
  *step = "self-test allocation";
  buffers.messages = clCreateBuffer(r->context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                                    80 * kSelfTestVectors, headers, &error);
  if (error != CL_SUCCESS) return error;
  buffers.round1_bases =
      clCreateBuffer(r->context, CL_MEM_READ_ONLY | CL_MEM_COPY_HOST_PTR,
                     sizeof(HeaderMidstate) * kSelfTestVectors, midstates, &error);
  if (error != CL_SUCCESS) return error;
  buffers.digests =
      clCreateBuffer(r->context, CL_MEM_WRITE_ONLY,
                     sizeof(cl_ulong) * kDigestLanes * kSelfTestVectors, nullptr, &error);
  if (error != CL_SUCCESS) return error;

  *step = "self-test launch";
  const cl_uint count = kSelfTestVectors;
  error = clSetKernelArg(r->self_test, 0, sizeof(cl_mem), &buffers.messages);
  if (error == CL_SUCCESS)
    error = clSetKernelArg(r->self_test, 1, sizeof(cl_mem), &buffers.round1_bases);
  if (error == CL_SUCCESS)
    error = clSetKernelArg(r->self_test, 2, sizeof(cl_mem), &buffers.digests);
  if (error == CL_SUCCESS) error = clSetKernelArg(r->self_test, 3, sizeof count, &count);
  if (error != CL_SUCCESS) return error;
  const size_t global = kSelfTestVectors;
  // Slot 0's queue: the self-test runs while no batch is queued.
  cl_command_queue queue = r->slots[0].queue;
  error = clEnqueueNDRangeKernel(queue, r->self_test, 1, nullptr, &global, nullptr, 0, nullptr,
                                 nullptr);
  if (error != CL_SUCCESS) return error;
  *step = "self-test hashing";
  return clEnqueueReadBuffer(queue, buffers.digests, CL_TRUE, 0,
                             sizeof(cl_ulong) * kDigestLanes * kSelfTestVectors, digests, 0,
                             nullptr, nullptr);
}

}  // namespace

OpenClSelfTestOutcome run_sha3_512_opencl_self_test(OpenClContext* r) {
  OpenClSelfTestOutcome outcome;
  outcome.device = r->name;

  uint8_t headers[kSelfTestVectors][80];
  HeaderMidstate midstates[kSelfTestVectors];
  make_self_test_headers(headers);
  for (int v = 0; v < kSelfTestVectors; ++v) header_midstate_init(&midstates[v], headers[v]);

  cl_ulong digests[kSelfTestVectors][kDigestLanes] = {};
  const char* step = "";
  const cl_int error = hash_on_device(r, headers, midstates, digests, &step);
  if (error != CL_SUCCESS) {
    report_opencl_failure(step, error);
    return outcome;
  }
  outcome.ran = true;
  outcome.vectors = kSelfTestVectors;
  for (int v = 0; v < kSelfTestVectors; ++v)
    if (!self_test_digests_match(headers[v], digests[v], digests[v] + 8)) ++outcome.mismatches;
  return outcome;
}
