#pragma once

#include <span>

// Overwrites every character of each listed argument with 'x', in place, so
// that other users reading the process's command line (ps, /proc/PID/cmdline)
// see how long the value was but not what it was. The lengths stay as they
// are: the kernel reports the argument area as it is, and shortening a value
// would only move the next argument. Indices outside 1..argc-1 are ignored.
void mask_arguments(int argc, char* argv[], std::span<const int> indices);
