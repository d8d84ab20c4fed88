#include "bridge/connection_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

TEST(BridgeConnectionThreads, RunsEveryTaskWithAtMostTheLimitAtOnce) {
  struct Case {
    std::size_t limit;
    int tasks;
  };
  for (const Case& c : {Case{1, 6}, Case{3, 24}, Case{16, 16}}) {
    SCOPED_TRACE(c.limit);
    std::atomic<int> running{0};
    std::atomic<int> mostAtOnce{0};
    std::atomic<int> finished{0};
    ConnectionThreads threads(c.limit);
    for (int i = 0; i < c.tasks; ++i) {
      threads.Run([&] {
        const int now = running.fetch_add(1) + 1;
        int seen = mostAtOnce.load();
        while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
        }
        // Hold the slot until the limit has been reached once, so that it surely is.
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (mostAtOnce.load() < static_cast<int>(c.limit) &&
               std::chrono::steady_clock::now() < deadline) {
          std::this_thread::sleep_for(1ms);
        }
        running.fetch_sub(1);
        finished.fetch_add(1);
      });
      EXPECT_LE(threads.Active(), c.limit);
    }
    threads.WaitForAll();
    EXPECT_EQ(finished.load(), c.tasks);
    EXPECT_EQ(threads.Active(), 0u);
    EXPECT_EQ(mostAtOnce.load(), static_cast<int>(c.limit));
  }
}

TEST(BridgeConnectionThreads, FailingTaskGivesItsSlotBack) {
  ConnectionThreads threads(1);
  threads.Run([] { throw std::runtime_error("task failed"); });
  std::promise<void> ran;
  auto next = std::async(std::launch::async, [&] { threads.Run([&ran] { ran.set_value(); }); });
  EXPECT_EQ(next.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(ran.get_future().wait_for(5s), std::future_status::ready);
  threads.WaitForAll();
}

}  // namespace
