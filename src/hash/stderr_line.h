#pragma once

#include <cstdarg>
#include <cstdio>

// The one writer behind every subsystem's failure reporter: the prefix, the
// printf-formatted text and a newline go out in a single fprintf, so that
// lines from two threads never mix. Text past 511 bytes is cut.
[[gnu::format(printf, 2, 0)]] inline void vprint_stderr_line(const char* prefix,
                                                              const char* format, va_list args) {
  char text[512];
  std::vsnprintf(text, sizeof text, format, args);
  std::fprintf(stderr, "%s%s\n", prefix, text);
}
