#include "gpu/backend_report.h"

#include <cstdarg>

#include "hash/stderr_line.h"

int report_backend_failure(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprint_stderr_line("tamrix-miner: ", format, args);
  va_end(args);
  return -1;
}
