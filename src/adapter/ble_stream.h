#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "base/deadline.h"
#include "base/stop_token.h"

namespace morvanix {

// The adapter's notifications as one byte stream: they split lines anywhere and one may carry
// two prompts, so the answer collector reads them as it reads a serial port. Bounded: bytes
// beyond the capacity are dropped (an adapter that streams while nobody reads). Push may come
// from another thread than Take.
class BleByteQueue {
 public:
  explicit BleByteQueue(std::size_t capacity = 64 * 1024) : capacity_(capacity) {}

  void Push(const unsigned char* data, std::size_t n);
  // Up to n bytes, oldest first; 0 when empty.
  std::size_t Take(char* buffer, std::size_t n);
  bool Empty() const;
  void Clear();
  std::size_t Dropped() const;

 private:
  mutable std::mutex lock_;
  std::deque<char> bytes_;
  std::size_t capacity_;
  std::size_t dropped_ = 0;
};

// Waits for the link's next event (a notification, a reply, a disconnect) until the deadline
// or the stop: false when the wait ended without one, or the link is gone.
using BlePump = std::function<bool(const Deadline&, const StopToken&)>;

// Up to n bytes from the queue: at once when some are there, else pumping the link until
// some come, the deadline passes, the stop comes or the pump gives up. A deadline already
// passed takes what is there.
std::size_t ReadNotified(BleByteQueue& queue, char* buffer, std::size_t n, const Deadline& deadline,
                         const StopToken& stop, const BlePump& pump);

// One write of at most kBleChunkBytes that returns when the stack answered it: true when it
// went out.
using BleChunkWrite =
    std::function<bool(const char* data, std::size_t n, const Deadline&, const StopToken&)>;

// Writes n bytes in chunks of at most `chunk` bytes, each only after the one before returned;
// false at the first that failed, the deadline or the stop.
bool WriteInChunks(const char* data, std::size_t n, std::size_t chunk, const Deadline& deadline,
                   const StopToken& stop, const BleChunkWrite& write);

}  // namespace morvanix
