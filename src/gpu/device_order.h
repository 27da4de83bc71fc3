#pragma once

#include <string>
#include <vector>

#include "gpu/pci_address.h"

// The order -d counts a CUDA machine's cards in: NVML's, which is the PCI
// order nvidia-smi shows, and not CUDA's own (fastest first, and only the
// cards CUDA_VISIBLE_DEVICES lets it see). Both name each card by its PCI
// bus id, so the cards are matched by it.
//
// `cuda_cards` holds each CUDA device's PCI address (CUDA's numbering is the
// position); `nvml_bus_ids` NVML's bus ids in NVML's order, as NVML spells
// them, "" where NVML could not tell one. Returns CUDA's numbers in the order
// -d counts: every CUDA card that NVML lists, in NVML's order, then any CUDA
// card NVML does not list; by PCI address alone where NVML lists nothing
// (no NVML library). A card NVML lists but CUDA cannot see has no place, so
// -d counts the cards the miner can mine on.
std::vector<int> cards_in_device_order(const std::vector<PciAddress>& cuda_cards,
                                       const std::vector<std::string>& nvml_bus_ids);
