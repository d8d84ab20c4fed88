#pragma once

#include <chrono>
#include <thread>

#include "base/stop_token.h"

// Requests the stop from another thread after a delay, as a service stop comes while a call
// waits; with `when` false it never does. The thread is joined when this goes out of scope.
class StopLater {
 public:
  StopLater(morvanix::StopSource& stop, std::chrono::milliseconds after, bool when = true)
      : thread_([&stop, after, when] {
          if (!when) return;
          std::this_thread::sleep_for(after);
          stop.RequestStop();
        }) {}
  StopLater(const StopLater&) = delete;
  StopLater& operator=(const StopLater&) = delete;
  ~StopLater() { thread_.join(); }

 private:
  std::thread thread_;
};
