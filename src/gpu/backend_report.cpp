#include "gpu/backend_report.h"

#include <cstdarg>
#include <cstdio>

#include "hash/stderr_line.h"

int report_backend_failure(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprint_stderr_line("tamrix-miner: ", format, args);
  va_end(args);
  return -1;
}

void report_kernel_build_failure(const char* device, const char* log) {
  std::fprintf(stderr, "tamrix-miner: the OpenCL kernel did not build on %s:\n%s\n", device, log);
}
