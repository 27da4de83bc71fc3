#pragma once

#include <functional>
#include <vector>

#include "driver/mining_ports.h"
#include "driver/options.h"
#include "driver/rig_status.h"
#include "gpu/backend.h"

// Whatever reads the rig's record while the miner mines (the read-only HTTP
// API of --api-bind): started with the board the loop publishes on before
// mining begins, stopped after mining has ended. `start` returns false,
// after its own line on stderr, when it cannot serve; the miner then does
// not mine. Both may be empty.
struct RigBoardReader {
  std::function<bool(const Options& options, RigBoard& board)> start;
  std::function<void()> stop;
};

// Mines against the node named by the options (and its backup nodes) until
// g_running is cleared: a node link fetches work and sends blocks, the
// enabled devices search, and a status line comes every 2 seconds. Expects
// has_node_settings(options), and a build with GPU support when the GPU is
// enabled, with `gpus` the opened devices in -d order (empty when the GPU is
// not enabled). Shuts their power controls down before it returns. False
// when it could not begin (the node link's threads, or the reader); the
// reason has been printed.
bool run_mining_loop(const Options& options, const DeviceModes& modes, const std::vector<GpuContext*>& gpus,
                     const RigBoardReader& reader = {});

// The node link's settings for these options: -o with -u and -p first, then
// each --backup-node with the credentials of its URL; the link wakes
// `wakeup` and stops with g_running, and a second signal gives up its
// submissions.
NodeLinkSettings node_link_settings(const Options& options, LoopWakeup& wakeup);

// The loop's ports onto a started link, which outlives them.
NodePorts node_link_ports(NodeLink& link);

// The loop itself, from the first pass to "Shutting down", with its
// neighbours supplied by the caller. `wakeup` (optional) is the semaphore
// that ends the loop's waits, for a caller whose own threads (the node
// link) have news too; it must outlive the call and everything that
// releases it.
void mine_with_ports(const Options& options, const DeviceModes& modes, const MiningPorts& ports,
                     LoopWakeup* wakeup = nullptr);
