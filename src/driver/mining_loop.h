#pragma once

#include "driver/options.h"

// Mines against the node named by the options until g_running is cleared:
// fetches work, searches it on the enabled devices, submits solutions and
// prints a status line every 2 seconds. Expects has_node_settings(options).
// Shuts the power controls down before it returns.
void run_mining_loop(const Options& options, const DeviceModes& modes);
