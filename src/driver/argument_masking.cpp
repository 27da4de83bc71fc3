#include "driver/argument_masking.h"

void mask_arguments(int argc, char* argv[], std::span<const int> indices) {
  for (const int index : indices) {
    if (index < 1 || index >= argc) continue;
    for (char* c = argv[index]; *c != '\0'; ++c) *c = 'x';
  }
}
