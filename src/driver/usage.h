#pragma once

// The banner line that every run past the argument scan begins with.
void print_banner();

// The usage text, on standard output.
void print_help();
