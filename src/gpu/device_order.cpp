#include "gpu/device_order.h"

#include <algorithm>
#include <tuple>

namespace {

bool same_address(const PciAddress& a, const PciAddress& b) {
  return std::tie(a.domain, a.bus, a.device, a.function) ==
         std::tie(b.domain, b.bus, b.device, b.function);
}

bool before_on_the_bus(const PciAddress& a, const PciAddress& b) {
  return std::tie(a.domain, a.bus, a.device, a.function) <
         std::tie(b.domain, b.bus, b.device, b.function);
}

}  // namespace

std::vector<int> cards_in_device_order(const std::vector<PciAddress>& cuda_cards,
                                       const std::vector<std::string>& nvml_bus_ids) {
  std::vector<int> order;
  std::vector<bool> placed(cuda_cards.size(), false);
  for (const std::string& bus_id : nvml_bus_ids) {
    PciAddress address;
    if (!parse_pci_address(bus_id, &address)) continue;
    for (size_t card = 0; card < cuda_cards.size(); ++card) {
      if (placed[card] || !same_address(cuda_cards[card], address)) continue;
      placed[card] = true;
      order.push_back(static_cast<int>(card));
      break;
    }
  }
  std::vector<int> rest;
  for (size_t card = 0; card < cuda_cards.size(); ++card)
    if (!placed[card]) rest.push_back(static_cast<int>(card));
  std::stable_sort(rest.begin(), rest.end(), [&cuda_cards](int a, int b) {
    return before_on_the_bus(cuda_cards[static_cast<size_t>(a)],
                             cuda_cards[static_cast<size_t>(b)]);
  });
  order.insert(order.end(), rest.begin(), rest.end());
  return order;
}
