#include "bridge/connection_threads.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/debug_output.h"

namespace morvanix {
namespace {

// An exception must not end the process from a connection's thread, nor keep the slot taken.
void RunGuarded(const std::function<void()>& task) {
  try {
    task();
  } catch (...) {
    DebugOutput("morvanix: a connection ended with an exception");
  }
}

void JoinAll(std::vector<std::thread>& threads) {
  for (std::thread& thread : threads) thread.join();
  threads.clear();
}

}  // namespace

// Threads are joined, never detached: with mingw-w64's threads a detached thread ending while
// another starts can leave the new one never running (seen under Wine), and a joined thread
// cannot still be leaving when the process ends.
struct ConnectionThreads::State {
  explicit State(std::size_t limit) : limit(limit) {}

  // Called once a task is over, on the thread that ran it: a started thread hands itself on
  // for joining; the caller's thread, when no thread could be started, only frees the slot.
  void Ended() {
    std::lock_guard<std::mutex> lock(mutex);
    const auto own = running.find(std::this_thread::get_id());
    if (own != running.end()) {
      ended.push_back(std::move(own->second));
      running.erase(own);
    }
    --active;
    changed.notify_all();
  }

  const std::size_t limit;
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::size_t active = 0;
  std::map<std::thread::id, std::thread> running;
  std::vector<std::thread> ended;
};

ConnectionThreads::ConnectionThreads(std::size_t maxConcurrent)
    : state_(std::make_unique<State>(maxConcurrent == 0 ? 1 : maxConcurrent)) {}

ConnectionThreads::~ConnectionThreads() {
  WaitForAll();
}

void ConnectionThreads::Run(std::function<void()> task) {
  std::vector<std::thread> finished;
  bool started = false;
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    // Ended frees a slot and notifies under the mutex, so the wake-up cannot be missed.
    state_->changed.wait(lock, [this] { return state_->active < state_->limit; });
    ++state_->active;
    finished.swap(state_->ended);
    try {
      // Under the lock: the thread cannot hand itself on before it is recorded.
      std::thread thread([this, task]() mutable {
        RunGuarded(task);
        task = nullptr;  // release what the task holds before the slot is given back
        state_->Ended();
      });
      const std::thread::id id = thread.get_id();
      state_->running.emplace(id, std::move(thread));
      started = true;
    } catch (const std::system_error&) {
    }
  }
  JoinAll(finished);
  if (!started) {
    RunGuarded(task);
    state_->Ended();
  }
}

void ConnectionThreads::WaitForAll() {
  std::vector<std::thread> finished;
  {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->active == 0; });
    finished.swap(state_->ended);
  }
  JoinAll(finished);
}

std::size_t ConnectionThreads::Active() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->active;
}

}  // namespace morvanix
