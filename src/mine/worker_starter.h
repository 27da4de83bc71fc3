#pragma once

#include <functional>
#include <thread>

// Creates one thread that runs `body`. Like the std::thread constructor it
// throws std::system_error when the system cannot create the thread; tests
// pass a starter that does so on purpose. Empty means std::thread itself.
using WorkerStarter = std::function<std::thread(std::function<void()> body)>;

inline std::thread start_thread_with(const WorkerStarter& starter, std::function<void()> body) {
  return starter ? starter(std::move(body)) : std::thread(std::move(body));
}
