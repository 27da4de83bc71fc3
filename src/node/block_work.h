#pragma once

#include <cstdint>
#include <string>

// One unit of mining work, built by GbtClient::get_work and read-only after.
struct BlockWork {
  uint8_t header[80] = {};  // block header; nonce bytes 76..79 are zero
  uint32_t target[8] = {};  // 256-bit target, least significant word first
  int32_t height = 0;       // the template's height
  std::string txn_hex;      // transaction section: count, coinbase, template txs
  bool valid = false;       // true only when every assembly step completed
};
