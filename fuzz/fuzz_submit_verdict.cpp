// The verdict on arbitrary submitblock replies.
#include <cstddef>
#include <cstdint>
#include <string>

#include "node/submission.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  submit_verdict(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
