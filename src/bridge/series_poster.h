#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/stop_token.h"

namespace morvanix {

// Posts the results of a series on a thread of its own, in the order they were made, so that
// the adapter runs the next repetition while the last one's result is on its way. The queue
// is bounded: a series faster than its posts waits for room, so memory stays bounded and
// nothing is dropped.
class SeriesPoster {
 public:
  using Post = std::function<void(const std::string& result)>;
  // Results waiting behind the one being posted.
  static constexpr std::size_t kBound = 4;

  SeriesPoster(Post post, StopToken stop, std::size_t bound = kBound);
  ~SeriesPoster();
  SeriesPoster(const SeriesPoster&) = delete;
  SeriesPoster& operator=(const SeriesPoster&) = delete;

  // Queues a result behind those before it, waiting while the queue is full; false at the
  // stop, the result not queued.
  bool Add(std::string result);

  // Returns once every queued result has been posted, or at the stop: the post under way
  // ends with it (the post has the same stop) and the results still queued are given up,
  // counted in one debug line. Returns how many were given up.
  std::size_t Finish();

 private:
  void PostInOrder();

  const Post post_;
  const StopToken stop_;
  const std::size_t bound_;
  std::mutex lock_;
  std::condition_variable_any changed_;
  std::deque<std::string> queued_;
  bool finishing_ = false;
  std::size_t givenUp_ = 0;
  std::thread poster_;
};

}  // namespace morvanix
