#pragma once

#include <string>

// The text of search_kernel.cl, built into the binary at configure time.
const char* search_kernel_text();

// What the OpenCL compiler gets: the Keccak constants of
// hash/keccak_constants.h as the macros search_kernel.cl expects, then
// search_kernel_text().
std::string opencl_program_source();
