#pragma once

#include <atomic>

// True from program start until SIGINT, SIGTERM or SIGHUP arrives; the mining
// loops test it and wind down once it is cleared. Never set back to true.
extern std::atomic<bool> g_running;

// Clears g_running and says so on standard output. A signal that finds
// g_running already cleared while a block is being submitted (the found block
// goes in even after a stop) instead abandons that submission: the node
// client stops waiting for the node's answer, and the miner winds down as
// after any stop, power controls included. Async-signal-safe.
void signal_handler(int signal_number);

// Set once a submission has been abandoned; never cleared. The node client
// watches it during every transfer.
const std::atomic<bool>& submission_abandoned();

// Installs signal_handler for SIGINT, SIGTERM and SIGHUP: a closed terminal
// stops the miner as cleanly as Ctrl-C, power limit restored.
void install_signal_handlers();

// A reader of standard output that goes away (a pipe into head, a log
// collector that restarts) must not end the process: SIGPIPE is ignored, and
// output that can no longer be written is dropped. Called first thing.
void ignore_closed_output();

// True once calls to the node in progress are to be given up: after a stop,
// except the submission of a block found before it, which only a second
// signal gives up (submission_abandoned). The node client asks it during
// every transfer.
bool node_calls_abandoned();

// Bracket every submission of a block.
void submission_begins();
void submission_ends();
