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
  // Every secret lies inside its argument. A -p value and a separate
  // --api-token value are secret from their first character; a URL's
  // password always follows at least its user name's colon. The last -p is
  // exactly the text the settings copied, and the token ends its argument.
  bool password_found = false, token_found = false, whole_argument_secret = false;
  for (const SecretSpan& secret : scan.secrets) {
    if (secret.index < 1 || secret.index >= static_cast<int>(args.size())) __builtin_trap();
    const std::string& arg = args[secret.index];
    if (secret.begin + secret.length > arg.size()) __builtin_trap();
    if (secret.begin == 0) whole_argument_secret = true;
    if (secret.begin == 0 && o.rpc_pass && *o.rpc_pass == arg) password_found = true;
    if (o.api_token && secret.begin + secret.length == arg.size() &&
        arg.compare(secret.begin, secret.length, *o.api_token) == 0)
      token_found = true;
  }
  if (o.rpc_pass && !password_found) __builtin_trap();
  if (o.api_token && !token_found) __builtin_trap();
  if (!o.rpc_pass && !o.api_token && whole_argument_secret) __builtin_trap();
  if (o.rpc_url && url_for_display(*o.rpc_url).size() != o.rpc_url->size()) __builtin_trap();
  derive_device_modes(o);
  device_combination_error(o);
  return 0;
}
