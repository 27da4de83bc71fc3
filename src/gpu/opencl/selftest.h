#pragma once

#include <string>

#include "gpu/opencl/context.h"

// Outcome of hashing the self-test headers (selftest_vectors.h) on an
// OpenCL device and comparing with sha3_512_cpu.
struct OpenClSelfTestOutcome {
  bool ran = false;    // false: the device could not run the test (already reported)
  std::string device;  // the device it ran on
  int vectors = 0;     // headers checked
  int mismatches = 0;  // headers whose GPU result differs
};

// Runs on slot 0's queue, after any batch queued there; called while no
// batch is queued (test_sha3_512_gpu runs before mining).
OpenClSelfTestOutcome run_sha3_512_opencl_self_test(OpenClContext* context);
