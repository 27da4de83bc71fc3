#pragma once

#include <cstdint>
#include <string>

#include "node/block_work.h"

// The submitted block as hex: the work's header with `nonce` in bytes 76..79
// (little-endian) as 160 lower-case characters, then txn_hex unchanged. The
// caller's work is not touched.
std::string block_hex(const BlockWork& work, uint32_t nonce);

// The node's verdict on a submitblock reply: accepted only when "result" is
// present and null. A string result is the rejection reason and is printed
// as "Block rejected: <reason>"; every other reply is a silent false.
bool submit_verdict(const std::string& reply);
