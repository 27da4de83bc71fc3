#pragma once

#include <atomic>

// True from program start until SIGINT, SIGTERM or SIGHUP arrives; the mining
// loops test it and wind down once it is cleared. Never set back to true.
extern std::atomic<bool> g_running;

// Clears g_running and says so on standard output. A signal that finds
// g_running already cleared is a second signal: it is remembered
// (submission_abandoned), whenever it comes, so that the miner does not wait
// for the node's answer to blocks found before the stop; while blocks are
// unanswered it says so instead. The miner then winds down as after any
// stop, power controls included. Async-signal-safe.
void signal_handler(int signal_number);

// Set by a second stop signal; never cleared. The node link gives up its
// submissions in progress and to come once it reads true.
const std::atomic<bool>& submission_abandoned();

// Installs signal_handler for SIGINT, SIGTERM and SIGHUP: a closed terminal
// stops the miner as cleanly as Ctrl-C, power limit restored.
void install_signal_handlers();

// A reader of standard output that goes away (a pipe into head, a log
// collector that restarts) must not end the process: SIGPIPE is ignored, and
// output that can no longer be written is dropped. Called first thing.
void ignore_closed_output();

// Whether blocks handed to the node are still unanswered; the mining loop
// keeps it up to date, and the signal handler's words depend on it.
void set_blocks_unanswered(bool unanswered);
