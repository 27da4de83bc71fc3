#pragma once

#include <cstdint>
#include <string>

#include "node/gbt_client.h"

// What one reply to the longpoll watch's getblocktemplate means to it.
enum class LongpollAnswerKind {
  kTemplate,  // a template with a usable previousblockhash
  kRefused,   // the node said no: an error object, or HTTP 403 or 404
  kFailed,    // no reply, or one that says nothing usable
};

struct LongpollAnswer {
  LongpollAnswerKind kind = LongpollAnswerKind::kFailed;
  uint64_t tip_fingerprint = 0;  // kTemplate: as tip_fingerprint_of reads the header
  int32_t height = 0;            // kTemplate: the template's "height" (0 when it has none)
  std::string longpollid;        // kTemplate: "" when the node offers none usable
  bool refused_by_status = false;  // kRefused: by HTTP 403 or 404, not an error object
  // Why, in a few words for the operator, already printable: for kRefused
  // and kFailed, and for a kTemplate without a usable longpollid.
  std::string reason;
};

constexpr size_t kMaxLongpollIdChars = 256;

// Reads one exchange (not given up) of the watch with the node at `url`.
LongpollAnswer read_longpoll_answer(const RpcExchange& exchange, const std::string& url);

// The fingerprint of a previousblockhash as the node writes it (64 hex
// characters); false when the text is not that.
bool tip_fingerprint_of_hash_text(const char* previousblockhash, uint64_t* fingerprint);
