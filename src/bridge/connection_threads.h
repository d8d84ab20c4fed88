#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace morvanix {

// Runs each task on a thread of its own, at most maxConcurrent at once. Run waits for a free
// slot when all are taken, so the caller (the accept loop) leaves further connections queued
// in the kernel; WaitForAll returns once every started task has ended and its thread is gone.
class ConnectionThreads {
 public:
  explicit ConnectionThreads(std::size_t maxConcurrent);
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;
  ~ConnectionThreads();

  // Starts task on a new thread once a slot is free. If no thread can be created the task
  // runs on the calling thread instead, so that it is never dropped.
  void Run(std::function<void()> task);

  void WaitForAll();

  std::size_t Active() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace morvanix
