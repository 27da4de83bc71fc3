#include "driver/run_flag.h"

#include <cerrno>
#include <csignal>

#include <unistd.h>

// A signal may interrupt the main thread halfway through a store to these
// flags on a platform where that takes a lock; demand lock-free atomics.
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<bool> g_running{true};

namespace {

// A found block goes in even after a stop, but an operator who asks a second
// time must not wait out the transport's timeout, whenever that second time
// comes: before the last block was handed over, or while it is sent.
std::atomic<bool> blocks_unanswered{false};
std::atomic<bool> second_signal{false};

// write(2) rather than stdio: a printf here could deadlock on the stream
// lock the interrupted main thread holds, or interleave with its buffer.
template <size_t N>
void say(const char (&message)[N]) {
  const int saved_errno = errno;
  [[maybe_unused]] ssize_t written = write(STDOUT_FILENO, message, N - 1);
  errno = saved_errno;
}

}  // namespace

void signal_handler(int /*signal_number*/) {
  if (!g_running.load()) {
    // Exiting here would skip power_shutdown and leave a lowered power limit
    // behind; the node link gives its submissions up instead and the loop
    // winds down.
    second_signal.store(true);
    if (blocks_unanswered.load()) {
      say("\nLeaving without the node's answer to the last block.\n");
      return;
    }
  }
  g_running.store(false);
  say("\nShutting down...\n");
}

void install_signal_handlers() {
  std::signal(SIGINT, signal_handler);
  std::signal(SIGTERM, signal_handler);
  std::signal(SIGHUP, signal_handler);
}

void ignore_closed_output() { std::signal(SIGPIPE, SIG_IGN); }

const std::atomic<bool>& submission_abandoned() { return second_signal; }

void set_blocks_unanswered(bool unanswered) { blocks_unanswered.store(unanswered); }
