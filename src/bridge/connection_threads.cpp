#include "bridge/connection_threads.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "base/debug_output.h"

namespace morvanix {
namespace {

// An exception must not end the process from a detached thread, nor keep the slot taken.
void RunGuarded(const std::function<void()>& task) {
  try {
    task();
  } catch (...) {
    DebugOutput("morvanix: a connection ended with an exception");
  }
}

}  // namespace

struct ConnectionThreads::Slots {
  explicit Slots(std::size_t limit) : limit(limit) {}

  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    --active;
    changed.notify_all();
  }

  const std::size_t limit;
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::size_t active = 0;
};

ConnectionThreads::ConnectionThreads(std::size_t maxConcurrent)
    : slots_(std::make_shared<Slots>(maxConcurrent == 0 ? 1 : maxConcurrent)) {}

ConnectionThreads::~ConnectionThreads() {
  WaitForAll();
}

void ConnectionThreads::Run(std::function<void()> task) {
  {
    std::unique_lock<std::mutex> lock(slots_->mutex);
    slots_->changed.wait(lock, [this] { return slots_->active < slots_->limit; });
    ++slots_->active;
  }
  try {
    std::thread([slots = slots_, task]() mutable {
      RunGuarded(task);
      task = nullptr;  // release what the task holds before the slot is given back
      slots->Release();
    }).detach();
  } catch (const std::system_error&) {
    RunGuarded(task);
    slots_->Release();
  }
}

void ConnectionThreads::WaitForAll() {
  std::unique_lock<std::mutex> lock(slots_->mutex);
  slots_->changed.wait(lock, [this] { return slots_->active == 0; });
}

std::size_t ConnectionThreads::Active() const {
  std::lock_guard<std::mutex> lock(slots_->mutex);
  return slots_->active;
}

}  // namespace morvanix
