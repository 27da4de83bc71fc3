#pragma once

// What the GPU search tests (backend_search_test.cpp) need from the variant
// under test; each variant's test file defines these.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

// False, with *why, where the variant finds no device to test on (the test
// then skips). The OpenCL variant never skips: the tests run on POCL.
bool gpu_test_device_ready(std::string* why);

// At least the number of nonces one launch covers before its work-items
// stride over the batch; a batch past it takes several turns of the grid.
uint32_t gpu_test_grid_size();

class GpuBackend : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!gpu_test_device_ready(&why)) GTEST_SKIP() << why;
  }
};
