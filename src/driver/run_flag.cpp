#include "driver/run_flag.h"

#include <cerrno>
#include <csignal>

#include <unistd.h>

// A signal may interrupt the main thread halfway through a store to this flag
// on a platform where that takes a lock; demand a lock-free atomic instead.
static_assert(std::atomic<bool>::is_always_lock_free);

std::atomic<bool> g_running{true};

void signal_handler(int /*signal_number*/) {
  g_running.store(false);
  // write(2) rather than stdio: a printf here could deadlock on the stream
  // lock the interrupted main thread holds, or interleave with its buffer.
  static const char message[] = "\nShutting down...\n";
  const int saved_errno = errno;
  [[maybe_unused]] ssize_t written = write(STDOUT_FILENO, message, sizeof message - 1);
  errno = saved_errno;
}

void install_signal_handlers() {
  std::signal(SIGINT, signal_handler);
  std::signal(SIGTERM, signal_handler);
}
