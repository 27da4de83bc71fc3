#include "gpu/pci_address.h"

#include <cstdio>

std::string pci_address_text(const PciAddress& address) {
  char text[32];
  std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", address.domain, address.bus, address.device,
                address.function);
  return text;
}
