#include "adapter/ble_stream.h"

#include <algorithm>

namespace morvanix {

void BleByteQueue::Push(const unsigned char* data, std::size_t n) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::size_t room = capacity_ - std::min(capacity_, bytes_.size());
  const std::size_t kept = std::min(room, n);
  bytes_.insert(bytes_.end(), data, data + kept);
  dropped_ += n - kept;
}

std::size_t BleByteQueue::Take(char* buffer, std::size_t n) {
  std::lock_guard<std::mutex> hold(lock_);
  const std::size_t taken = std::min(n, bytes_.size());
  std::copy_n(bytes_.begin(), taken, buffer);
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(taken));
  return taken;
}

bool BleByteQueue::Empty() const {
  std::lock_guard<std::mutex> hold(lock_);
  return bytes_.empty();
}

void BleByteQueue::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  bytes_.clear();
}

std::size_t BleByteQueue::Dropped() const {
  std::lock_guard<std::mutex> hold(lock_);
  return dropped_;
}

std::size_t ReadNotified(BleByteQueue& queue, char* buffer, std::size_t n, const Deadline& deadline,
                         const StopToken& stop, const BlePump& pump) {
  if (n == 0) return 0;
  for (;;) {
    if (const std::size_t got = queue.Take(buffer, n); got > 0) return got;
    if (stop.StopRequested() || deadline.Passed() || !pump(deadline, stop)) {
      return queue.Take(buffer, n);
    }
  }
}

bool WriteInChunks(const char* data, std::size_t n, std::size_t chunk, const Deadline& deadline,
                   const StopToken& stop, const BleChunkWrite& write) {
  if (chunk == 0) return false;
  for (std::size_t sent = 0; sent < n;) {
    if (stop.StopRequested() || deadline.Passed()) return false;
    const std::size_t size = std::min(chunk, n - sent);
    if (!write(data + sent, size, deadline, stop)) return false;
    sent += size;
  }
  return true;
}

}  // namespace morvanix
