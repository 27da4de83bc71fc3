#pragma once

#include <string>

// A card's place on the PCI bus, which names it the same way to every
// driver: sysfs, NVML and the OpenCL platforms.
struct PciAddress {
  unsigned domain = 0;
  unsigned bus = 0;
  unsigned device = 0;
  unsigned function = 0;
};

// "dddd:bb:dd.f", as sysfs names PCI devices; NVML accepts it as a bus id too.
std::string pci_address_text(const PciAddress& address);

// Reads a bus id as the drivers spell it: "domain:bus:device.function" in
// hexadecimal of either case, with the domain in any width (CUDA gives four
// digits, NVML eight) or left out (0). False for anything else.
bool parse_pci_address(const std::string& text, PciAddress* address);
