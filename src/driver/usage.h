#pragma once

// The banner line that every run past the argument scan begins with.
void print_banner();

// The usage text, on standard output.
void print_help();

// --list-devices: one line per GPU this build can mine on (its -d index, PCI
// bus id, name, memory and runtime), or one line saying why there is none.
void print_device_list();
