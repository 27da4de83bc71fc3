#pragma once

// What the GPU search tests (backend_search_test.cpp) need from the variant
// under test; each variant's test file defines these.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "gpu/backend.h"

// False, with *why, where the variant finds no device to test on (the test
// then skips). The OpenCL variant never skips: the tests run on POCL.
bool gpu_test_device_ready(std::string* why);

// launch_mining_kernel in a context of its own on device 0 whose grids hold
// at most `largest_grid` work-items, so that a batch is launched in several.
int gpu_test_launch_in_grids(uint64_t largest_grid, const uint8_t header[80], uint32_t start_nonce,
                             uint32_t batch_size, const uint32_t target[8], MiningResult* result);

// Device 0, opened once for the suite (an OpenCL open builds the kernel).
class GpuBackend : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    if (gpu_test_device_ready(&why)) device_ = gpu_open_device(0);
  }
  static void TearDownTestSuite() {
    gpu_close_device(device_);
    device_ = nullptr;
  }
  void SetUp() override {
    std::string why;
    if (!gpu_test_device_ready(&why)) GTEST_SKIP() << why;
    ASSERT_NE(device_, nullptr) << "device 0 did not open";
  }
  // A test that stopped half-way leaves no batch for the next; collecting a
  // free slot is quiet.
  void TearDown() override {
    for (int slot = 0; slot < kGpuBatchSlots; ++slot) collect_mining_batch(device_, slot, nullptr);
  }


 public:
  // The suite's device, for the helpers of the tests too.
  static GpuContext* device_;
};

inline GpuContext* GpuBackend::device_ = nullptr;
