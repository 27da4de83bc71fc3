// The CUDA backend on a real GPU: what only it has (the device list in PCI
// order, the largest batch, its self-test, the benchmark). The search cases
// shared with the OpenCL variant are in backend_search_test.cpp. Every test
// but the last skips where CUDA finds no device.

#include <cuda_runtime.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "gpu/backend.h"
#include "gpu/cuda/context.h"
#include "gpu/cuda/devices.h"
#include "gpu/cuda/selftest.h"
#include "gpu/pci_address.h"
#include "gpu_backend_fixture.h"

bool gpu_test_device_ready(std::string* why) {
  int devices = 0;
  if (cudaGetDeviceCount(&devices) == cudaSuccess && devices > 0) return true;
  *why = "no CUDA device";
  return false;
}

int gpu_test_launch_in_grids(uint64_t largest_grid, const uint8_t header[80], uint32_t start_nonce,
                             uint32_t batch_size, const uint32_t target[8], MiningResult* result) {
  CudaContext context;
  if (cuda_failed(cuda_context_open(0, &context))) return -1;
  context.largest_grid = largest_grid;
  int status = cuda_queue_batch(&context, 0, header, start_nonce, batch_size, 0, target);
  if (status == 0) status = cuda_collect_batch(&context, 0, result, nullptr);
  cuda_context_close(&context);
  return status;
}

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// The largest batch the interface allows covers the whole nonce space but
// one, in two grids; both must run to the end.
TEST_F(GpuBackend, LargestBatchEnds) {
  const uint8_t header[80] = {5};
  const uint32_t no_hash[8] = {};
  MiningResult result{};
  EXPECT_EQ(launch_mining_kernel(device_, header, 1, 0xffffffffu, no_hash, &result), 0);
  EXPECT_FALSE(result.found);
}

TEST_F(GpuBackend, SelfTestPasses) {
  CudaContext context;
  ASSERT_FALSE(cuda_failed(cuda_context_open(0, &context)));
  const GpuSelfTestOutcome outcome = run_sha3_512_gpu_self_test(&context);
  cuda_context_close(&context);
  ASSERT_FALSE(cuda_failed(outcome.cuda)) << cudaGetErrorString(outcome.cuda.error);
  EXPECT_GT(outcome.vectors, 0);
  EXPECT_EQ(outcome.mismatches, 0);

  CaptureStdout();
  test_sha3_512_gpu(device_);
  EXPECT_EQ(GetCapturedStdout(), "tamrix-miner: GPU SHA3-512 self-test passed (" +
                                     std::to_string(outcome.vectors) + " vectors)\n");
}

TEST_F(GpuBackend, BenchmarkReportsARate) {
  const std::atomic<bool> running{true};
  EXPECT_GT(benchmark_hashrate(device_, 1, running), 0.0);
  EXPECT_EQ(benchmark_hashrate(device_, 0, running), 0.0);
}

// -d counts cards in PCI order, each named by the bus id CUDA gives the
// card it opens.
TEST_F(GpuBackend, DevicesComeInPciOrderWithTheirOwnBusIds) {
  std::string why;
  const std::vector<GpuDeviceInfo> devices = gpu_list_devices(&why);
  ASSERT_FALSE(devices.empty()) << why;
  for (size_t i = 0; i < devices.size(); ++i) {
    EXPECT_EQ(devices[i].index, static_cast<int>(i));
    EXPECT_EQ(devices[i].runtime, "CUDA");
    EXPECT_GT(devices[i].memory_bytes, 0u);
    PciAddress address;
    EXPECT_TRUE(parse_pci_address(devices[i].pci_bus_id, &address)) << devices[i].pci_bus_id;
    if (i > 0) {
      EXPECT_LT(devices[i - 1].pci_bus_id, devices[i].pci_bus_id);
    }
  }
  EXPECT_EQ(gpu_device_info(device_).pci_bus_id, devices[0].pci_bus_id);
  const std::vector<CudaDevice> cards = list_cuda_devices(&why);
  ASSERT_EQ(cards.size(), devices.size());
  for (const CudaDevice& card : cards) {
    char bus_id[64] = {};
    ASSERT_EQ(cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, card.cuda_device), cudaSuccess);
    PciAddress address;
    ASSERT_TRUE(parse_pci_address(bus_id, &address));
    EXPECT_EQ(pci_address_text(address), card.info.pci_bus_id)
        << "CUDA device " << card.cuda_device;
  }
}

TEST(CudaBackend, SupportIsBuiltIn) { EXPECT_TRUE(gpu_support_built_in()); }

}  // namespace
