// Work assembly from arbitrary node replies. Input: the getblocktemplate
// reply, a NUL byte, then the validateaddress reply.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "node/coinbase.h"
#include "node/work_assembly.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(data, 0, size);
  const size_t split = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
  const std::string template_reply(text, split);
  const std::string address_reply = split < size ? std::string(text + split + 1, size - split - 1) : "";

  int address_calls = 0;
  const BlockWork work = assemble_work(template_reply, "tamrixfuzz1", [&] {
    ++address_calls;
    return address_reply;
  });

  if (address_calls > 1) __builtin_trap();  // one validateaddress per unit of work
  if (work.valid) {
    // The count and the coinbase are ours; the node's transaction data is
    // appended as it came, so only the part we wrote is checked here.
    const size_t count_chars = 2;
    if (work.txn_hex.size() < count_chars + 2 * kMinCoinbaseBytes) __builtin_trap();
    if (work.height < 0) __builtin_trap();
    for (int i = 76; i < 80; ++i)
      if (work.header[i] != 0) __builtin_trap();
  }
  return 0;
}
