#pragma once

#include <atomic>

// True from program start until SIGINT or SIGTERM arrives; the mining loops
// test it and wind down once it is cleared. Never set back to true.
extern std::atomic<bool> g_running;

// Clears g_running and says so on standard output. Async-signal-safe.
void signal_handler(int signal_number);

// Installs signal_handler for SIGINT, then SIGTERM.
void install_signal_handlers();
