#include "gpu/opencl_program_source.h"

#include <cinttypes>
#include <cstdio>

#include "hash/keccak_constants.h"

std::string opencl_program_source() {
  std::string text = "#define KECCAK_ROUND_CONSTANTS {";
  char item[64];
  for (int round = 0; round < keccak::kRounds; ++round) {
    std::snprintf(item, sizeof item, "%s0x%016" PRIx64 "UL", round == 0 ? "" : ", ",
                  keccak::kRoundConstants.value[round]);
    text += item;
  }
  text += "}\n#define KECCAK_RHO_PI(X)";
  for (int lane = 0; lane < keccak::kLanes; ++lane) {
    std::snprintf(item, sizeof item, " X(%d, %d, %d)", lane, keccak::kRhoPi.source[lane],
                  keccak::kRhoPi.rotation[lane]);
    text += item;
  }
  text += "\n";
  return text + search_kernel_text();
}
