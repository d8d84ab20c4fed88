// The one watcher behind every loopback request's deadline.
#include "bridge/request_deadlines.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

class CutRecord {
 public:
  void Cut(socket_t sock) {
    std::lock_guard<std::mutex> lock(mutex_);
    cut_.push_back(sock);
    changed_.notify_all();
  }

  // The sockets cut so far, once there are at least count of them or after 5 s.
  std::vector<socket_t> WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, 5s, [&] { return cut_.size() >= count; });
    return cut_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<socket_t> cut_;
};

TEST(BridgeRequestDeadlines, CutsReadsUnderWayAndRefusesLaterOnes) {
  CutRecord record;
  RequestDeadlines deadlines([&record](socket_t sock) { record.Cut(sock); });
  const auto now = RequestDeadlines::Clock::now();
  const socket_t reading = 11, between = 12, inTime = 13;
  deadlines.Start(reading, now + 100ms);
  deadlines.Start(between, now + 100ms);
  deadlines.Start(inTime, now + 1h);
  ASSERT_TRUE(deadlines.BeginRead(reading));
  ASSERT_TRUE(deadlines.BeginRead(inTime));
  ASSERT_TRUE(deadlines.BeginRead(between));
  deadlines.EndRead(between);

  // Only a read under way needs waking; the other late request finds out at its next read.
  EXPECT_EQ(record.WaitFor(1), std::vector<socket_t>{reading});
  EXPECT_FALSE(deadlines.BeginRead(between));
  EXPECT_FALSE(deadlines.BeginRead(reading));
  EXPECT_TRUE(deadlines.BeginRead(inTime));

  // A stop expires the rest at once; the next request on a connection has a time of its own.
  deadlines.ExpireAll();
  EXPECT_EQ(record.WaitFor(2), (std::vector<socket_t>{reading, inTime}));
  EXPECT_FALSE(deadlines.BeginRead(inTime));
  deadlines.Finish(inTime);
  deadlines.Start(inTime, RequestDeadlines::Clock::now() + 1h);
  EXPECT_TRUE(deadlines.BeginRead(inTime));
  deadlines.EndRead(inTime);
}

}  // namespace
