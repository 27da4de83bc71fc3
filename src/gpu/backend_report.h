#pragma once

// The one writer of the GPU backends' standard error: every failure they
// report is one line that begins "tamrix-miner: ". Nothing else under
// src/gpu writes to standard error (a test reads the sources to keep it so).

// Writes the printf-formatted line (no newline in `format`) and returns -1,
// the backends' failure status.
int report_backend_failure(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The one failure that is more than a line: a kernel that did not build. The
// line names the device, and the compiler's log follows it as the compiler
// wrote it.
void report_kernel_build_failure(const char* device, const char* log);
