// A series' results go out in order on a thread of their own, through a bounded queue that
// Finish drains, and that a stop gives up.
#include "bridge/series_poster.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "base/wait.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

// Records every post; a post blocks while the gate is shut (until the stop, at most).
struct Recorder {
  std::mutex lock;
  std::vector<std::string> posted;
  StopSource gate;  // open once stopped
  bool gated = false;

  SeriesPoster::Post Post(const StopToken& stop) {
    return [this, stop](const std::string& result) {
      {
        std::lock_guard<std::mutex> guard(lock);
        posted.push_back(result);
      }
      if (gated) {
        StopSource* open = &gate;
        // Ends when the gate opens or the series' stop comes, as a real post does.
        while (!open->StopRequested() && !stop.StopRequested()) {
          WaitUntil(Deadline::After(5ms), stop);
        }
      }
    };
  }
  std::vector<std::string> Posted() {
    std::lock_guard<std::mutex> guard(lock);
    return posted;
  }
};

std::vector<std::string> Numbered(int count) {
  std::vector<std::string> made;
  for (int i = 0; i < count; ++i) made.push_back("r" + std::to_string(i));
  return made;
}

struct Row {
  const char* name;
  bool gated;         // posts hang until the stop
  int adds;           // results the series makes
  bool stop;          // a service stop once they are added
  int postedWanted;   // posts begun
  int givenUpWanted;  // results given up
};

const Row kRows[] = {
    {"every result posted in order before Finish returns", false, 50, false, 50, 0},
    {"a stop ends the post under way and gives up the queued", true, 1 + 4, true, 1, 4},
};

TEST(BridgeSeriesPoster, Rows) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    Recorder recorder;
    recorder.gated = row.gated;
    StopSource stop;
    SeriesPoster poster(recorder.Post(stop.Token()), stop.Token(), 4);
    const std::vector<std::string> results = Numbered(row.adds);
    for (const std::string& result : results) ASSERT_TRUE(poster.Add(result));
    if (row.stop) stop.RequestStop();
    auto finished = std::async(std::launch::async, [&] { return poster.Finish(); });
    ASSERT_EQ(finished.wait_for(1s), std::future_status::ready) << "Finish outlived a second";
    EXPECT_EQ(finished.get(), static_cast<std::size_t>(row.givenUpWanted));
    const std::vector<std::string> posted = recorder.Posted();
    EXPECT_EQ(posted,
              std::vector<std::string>(results.begin(), results.begin() + row.postedWanted));
  }
}

TEST(BridgeSeriesPoster, AFullQueueHoldsTheSeriesUntilThereIsRoom) {
  Recorder recorder;
  recorder.gated = true;
  StopSource stop;
  SeriesPoster poster(recorder.Post(stop.Token()), stop.Token(), 2);
  // One under way and two waiting fill it.
  for (const std::string& result : Numbered(3)) ASSERT_TRUE(poster.Add(result));
  auto fourth = std::async(std::launch::async, [&] { return poster.Add("r3"); });
  EXPECT_EQ(fourth.wait_for(200ms), std::future_status::timeout) << "added past the bound";
  recorder.gate.RequestStop();
  ASSERT_EQ(fourth.wait_for(2s), std::future_status::ready);
  EXPECT_TRUE(fourth.get());
  EXPECT_EQ(poster.Finish(), 0u);
  EXPECT_EQ(recorder.Posted(), Numbered(4));
}

TEST(BridgeSeriesPoster, AStopWhileWaitingForRoomRefusesTheResult) {
  Recorder recorder;
  recorder.gated = true;
  StopSource stop;
  SeriesPoster poster(recorder.Post(stop.Token()), stop.Token(), 1);
  for (const std::string& result : Numbered(2)) ASSERT_TRUE(poster.Add(result));
  auto third = std::async(std::launch::async, [&] { return poster.Add("r2"); });
  stop.RequestStop();
  ASSERT_EQ(third.wait_for(1s), std::future_status::ready);
  EXPECT_FALSE(third.get());
  EXPECT_EQ(poster.Finish(), 1u);
}

}  // namespace
