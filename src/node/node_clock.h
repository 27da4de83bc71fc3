#pragma once

#include <chrono>

// The clock of every rule about when the miner asks its node.
using NodeClock = std::chrono::steady_clock;
