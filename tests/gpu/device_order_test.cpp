// The order -d counts a CUDA machine's cards in (gpu/device_order.h), on
// machines described by hand: CUDA's numbers in NVML's order, however CUDA
// and NVML spell the bus ids and whichever cards each can see.

#include "gpu/device_order.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

PciAddress bus(unsigned number) { return PciAddress{0, number, 0, 0}; }

TEST(GpuDeviceOrder, CudaCardsInNvmlsOrder) {
  struct Case {
    const char* name;
    std::vector<PciAddress> cuda;   // CUDA device i's address
    std::vector<std::string> nvml;  // NVML's bus ids, in NVML's order
    std::vector<int> expected;      // CUDA's numbers as -d 0, 1, ... names them
  };
  const Case cases[] = {
      {"same order", {bus(0x17), bus(0x65)}, {"00000000:17:00.0", "00000000:65:00.0"}, {0, 1}},
      {"CUDA's fastest first",
       {bus(0xca), bus(0x17), bus(0x65)},
       {"00000000:17:00.0", "00000000:65:00.0", "00000000:CA:00.0"},
       {1, 2, 0}},
      {"CUDA_VISIBLE_DEVICES hides a card",
       {bus(0xca), bus(0x17)},
       {"00000000:17:00.0", "00000000:65:00.0", "00000000:CA:00.0"},
       {1, 0}},
      {"NVML cannot name one card",
       {bus(0x17), bus(0x65)},
       {"", "00000000:65:00.0"},
       {1, 0}},
      {"no NVML: PCI order",
       {bus(0xca), PciAddress{1, 0x03, 0, 0}, bus(0x17), PciAddress{0, 0x17, 1, 0}},
       {},
       {2, 3, 0, 1}},
      {"no card", {}, {"00000000:17:00.0"}, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(cards_in_device_order(c.cuda, c.nvml), c.expected) << c.name;
}

}  // namespace
