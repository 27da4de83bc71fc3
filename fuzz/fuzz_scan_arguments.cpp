// The command-line scanner on arbitrary argument vectors. Input: the
// arguments separated by NUL bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "driver/options.h"
#include "node/url_display.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"tamrix-miner"};
  std::string current;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty()) args.push_back(current);

  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  const ScanResult scan = scan_arguments(static_cast<int>(args.size()), argv.data());
  if (scan.unknown_option) {
    // The offending argument is one of ours, never a pointer elsewhere.
    bool ours = false;
    for (size_t i = 1; i < args.size(); ++i) ours |= scan.unknown_option == argv[i];
    if (!ours) __builtin_trap();
    return 0;
  }
  const Options& o = scan.options;
  for (const char* text : {o.rpc_user, o.coinbase_addr}) {
    if (text) {
      bool inside = false;
      for (size_t i = 1; i < args.size(); ++i)
        inside |= text >= argv[i] && text <= argv[i] + args[i].size();
      if (!inside) __builtin_trap();
    }
  }
  // Every secret lies inside its argument. A -p value is secret from its
  // first character, and the last one is exactly the text the settings
  // copied; a URL's password always follows at least its user name's colon.
  const SecretSpan* last_password = nullptr;
  for (const SecretSpan& secret : scan.secrets) {
    if (secret.index < 1 || secret.index >= static_cast<int>(args.size())) __builtin_trap();
    if (secret.begin + secret.length > args[secret.index].size()) __builtin_trap();
    if (secret.begin == 0) last_password = &secret;
  }
  if (o.rpc_pass.has_value() != (last_password != nullptr)) __builtin_trap();
  if (o.rpc_pass && *o.rpc_pass != args[last_password->index]) __builtin_trap();
  if (o.rpc_url && url_for_display(*o.rpc_url).size() != o.rpc_url->size()) __builtin_trap();
  derive_device_modes(o);
  device_combination_error(o);
  return 0;
}
