#include "gpu/backend_report.h"

#include <cstdarg>
#include <cstdio>

int report_backend_failure(const char* format, ...) {
  // One fprintf for the whole line, so that lines from two threads do not mix.
  char message[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  std::fprintf(stderr, "tamrix-miner: %s\n", message);
  return -1;
}
