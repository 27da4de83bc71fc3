#pragma once

#include <atomic>

// True from program start until SIGINT or SIGTERM arrives; the mining loops
// test it and wind down once it is cleared. Never set back to true.
extern std::atomic<bool> g_running;

// Clears g_running and says so on standard output. While a block found
// before the stop is being submitted, a further signal instead ends the
// program at once, without waiting for the node's answer. Async-signal-safe.
void signal_handler(int signal_number);

// Installs signal_handler for SIGINT, then SIGTERM.
void install_signal_handlers();

// Bracket the submission of a block found before a stop was requested.
void final_submission_begins();
void final_submission_ends();
