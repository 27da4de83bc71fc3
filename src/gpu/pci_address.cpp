#include "gpu/pci_address.h"

#include <cctype>
#include <cstdio>
#include <vector>

std::string pci_address_text(const PciAddress& address) {
  char text[32];
  std::snprintf(text, sizeof text, "%04x:%02x:%02x.%x", address.domain, address.bus, address.device,
                address.function);
  return text;
}

namespace {

// A field of hexadecimal digits no wider than `digits`; false for an empty or
// longer one, or one with anything but digits.
bool hex_field(const std::string& text, size_t digits, unsigned* value) {
  if (text.empty() || text.size() > digits) return false;
  *value = 0;
  for (const char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    const int lower = std::tolower(static_cast<unsigned char>(c));
    *value = *value * 16 + static_cast<unsigned>(lower <= '9' ? lower - '0' : lower - 'a' + 10);
  }
  return true;
}

}  // namespace

bool parse_pci_address(const std::string& text, PciAddress* address) {
  const size_t dot = text.rfind('.');
  if (dot == std::string::npos) return false;
  std::vector<std::string> fields{""};  // [domain:]bus:device
  for (const char c : text.substr(0, dot)) {
    if (c == ':')
      fields.emplace_back();
    else
      fields.back() += c;
  }
  if (fields.size() == 2) fields.insert(fields.begin(), "0");
  PciAddress parsed;
  if (fields.size() != 3 || !hex_field(fields[0], 8, &parsed.domain) ||
      !hex_field(fields[1], 2, &parsed.bus) || !hex_field(fields[2], 2, &parsed.device) ||
      !hex_field(text.substr(dot + 1), 1, &parsed.function) || parsed.device > 0x1f ||
      parsed.function > 7)
    return false;
  *address = parsed;
  return true;
}
