#pragma once

#include <cstddef>
#include <span>

// Characters of one argument that are secret: `length` characters from
// `begin` of argv[index].
struct SecretSpan {
  int index;
  size_t begin;
  size_t length;
};

// Overwrites every listed character with 'x', in place, so that other users
// reading the process's command line (ps, /proc/PID/cmdline) see how long a
// secret was but not what it was. The lengths stay as they are: the kernel
// reports the argument area as it is, and shortening a value would only move
// the next argument. Indices outside 1..argc-1 are ignored, and a span is cut
// at the end of its argument.
void mask_arguments(int argc, char* argv[], std::span<const SecretSpan> secrets);
