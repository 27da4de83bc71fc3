#pragma once

#include <cstdio>
#include <functional>
#include <system_error>
#include <thread>

// Creates one thread that runs `body`. Like the std::thread constructor it
// throws std::system_error when the system cannot create the thread; tests
// pass a starter that does so on purpose. Empty means std::thread itself.
using WorkerStarter = std::function<std::thread(std::function<void()> body)>;

inline std::thread start_thread_with(const WorkerStarter& starter, std::function<void()> body) {
  return starter ? starter(std::move(body)) : std::thread(std::move(body));
}

// Starts `body` as `thread`. When the system refuses, prints
// "tamrix-miner: could not start the <what> thread: <reason>" and returns
// false; nothing is thrown.
inline bool start_thread_or_say(std::thread& thread, const WorkerStarter& starter,
                                std::function<void()> body, const char* what) {
  try {
    thread = start_thread_with(starter, std::move(body));
  } catch (const std::system_error& failure) {
    std::fprintf(stderr, "tamrix-miner: could not start the %s thread: %s\n", what, failure.what());
    return false;
  }
  return true;
}
