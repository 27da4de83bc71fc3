#include "driver/argument_masking.h"

#include <algorithm>
#include <cstring>

void mask_arguments(int argc, char* argv[], std::span<const SecretSpan> secrets) {
  for (const SecretSpan& secret : secrets) {
    if (secret.index < 1 || secret.index >= argc) continue;
    char* arg = argv[secret.index];
    const size_t arg_length = std::strlen(arg);
    if (secret.begin >= arg_length) continue;
    std::memset(arg + secret.begin, 'x', std::min(secret.length, arg_length - secret.begin));
  }
}
