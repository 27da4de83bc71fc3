#pragma once

#include <cstdint>
#include <string>

#include "node/block_work.h"

// The submitted block as hex: the work's header with `nonce` in bytes 76..79
// (little-endian) as 160 lower-case characters, then txn_hex unchanged. The
// caller's work is not touched.
std::string block_hex(const BlockWork& work, uint32_t nonce);

// The node's verdict on a submitblock reply: accepted only when "result" is
// present and null and "error" is absent or null. An error is a rejection
// printed as "Block rejected: <its message>" (its JSON text when it has no
// string message); so is a string result, the reason itself. Every other
// reply is a silent false. When the block is refused with a reason, that
// reason (as printed, cut to a readable length) goes to `refusal_reason`
// if given; otherwise it is left empty.
bool submit_verdict(const std::string& reply, std::string* refusal_reason = nullptr);
