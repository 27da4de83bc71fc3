#pragma once

#include "driver/mining_ports.h"
#include "driver/options.h"
#include "driver/rig_status.h"
#include "gpu/backend.h"

// Mines against the node named by the options until g_running is cleared:
// fetches work about once a second (and at once on news of a new chain tip),
// searches it on the enabled devices, submits solutions and prints a status
// line every 2 seconds. Expects has_node_settings(options), and a build with
// GPU support when the GPU is enabled, with `gpu` the opened device (null
// when the GPU is not enabled). Shuts its power controls down before it
// returns. With --api-bind (checked by api_settings_error) it serves the
// read-only HTTP API meanwhile; false, after one line on stderr, when the API
// cannot listen (nothing has been mined then).
bool run_mining_loop(const Options& options, const DeviceModes& modes, GpuContext* gpu);

// The loop itself, from the first fetch to "Shutting down", with its
// neighbours supplied by the caller. `wakeup` (optional) is the semaphore
// that ends the loop's waits, for a caller whose own threads (the longpoll
// watch) have news too; it must outlive the call and everything that
// releases it. `board` (optional) is where the loop publishes its record
// for the API, starting from the one already there.
void mine_with_ports(const Options& options, const DeviceModes& modes, const MiningPorts& ports,
                     LoopWakeup* wakeup = nullptr, RigBoard* board = nullptr);
