#pragma once

#include <string>
#include <vector>

#include "gpu/backend.h"

// The CUDA cards in the order -d counts them (gpu/device_order.h: NVML's
// PCI order), each with CUDA's number for it.
struct CudaDevice {
  int cuda_device = -1;
  GpuDeviceInfo info;
};

// Every card CUDA can mine on. Empty, with *why set, when there is none (no
// driver, no card, or CUDA_VISIBLE_DEVICES hides them all). Quiet.
std::vector<CudaDevice> list_cuda_devices(std::string* why);
