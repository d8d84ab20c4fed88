#include "remote/connection_keeper.h"

#include <utility>

#include "base/debug_output.h"
#include "base/socket_calls.h"

namespace morvanix {

ConnectionKeeper::ConnectionKeeper(SteadyClock::duration idleLimit) : idleLimit_(idleLimit) {}

ConnectionKeeper::~ConnectionKeeper() {
  {
    std::unique_lock<std::mutex> guard(lock_);
    ending_ = true;
    EndWatchLocked(guard);
  }
  changed_.notify_all();
  if (closer_.joinable()) closer_.join();
}

TlsClientContext* ConnectionKeeper::Tls() {
#ifdef MORVANIX_REMOTE_TLS
  return &tls_;
#else
  return nullptr;
#endif
}

bool ConnectionKeeper::Keeps(const std::string& host, int port) {
  return KeptFor(host, port) > SteadyClock::duration::zero();
}

SteadyClock::duration ConnectionKeeper::KeptFor(const std::string& host, int port) {
  std::lock_guard<std::mutex> guard(lock_);
  return KeptForLocked(host, port);
}

SteadyClock::duration ConnectionKeeper::KeptForLocked(const std::string& host, int port) const {
  if (host != learnedHost_ || port != learnedPort_) return idleLimit_;
  return learnedLimit_ < idleLimit_ ? learnedLimit_ : idleLimit_;
}

std::unique_ptr<RemoteConnection> ConnectionKeeper::Take(const std::string& host, int port) {
  std::unique_ptr<RemoteConnection> taken;
  std::unique_lock<std::mutex> guard(lock_);
  EndWatchLocked(guard);
  taken = std::move(kept_);
  if (taken == nullptr || taken->Host() != host || taken->Port() != port) {
    guard.unlock();
    return nullptr;  // closed here, outside the lock
  }
  const IdleState state = taken->LookIdle();
  if (state == IdleState::kUsable) return taken;
  if (state == IdleState::kEnded) LearnLocked(host, port, taken->IdleFor());
  guard.unlock();
  return nullptr;
}

void ConnectionKeeper::Keep(std::unique_ptr<RemoteConnection> connection) {
  std::unique_ptr<RemoteConnection> older;
  {
    std::unique_lock<std::mutex> guard(lock_);
    EndWatchLocked(guard);
    const SteadyClock::duration limit = connection == nullptr
                                            ? SteadyClock::duration::zero()
                                            : KeptForLocked(connection->Host(), connection->Port());
    if (limit <= SteadyClock::duration::zero()) {
      older = std::move(connection);  // this server gets none kept
    } else {
      connection->MarkIdle();
      older = std::exchange(kept_, std::move(connection));
      closeAt_ = Deadline::After(limit);
      // Started with the first connection kept, not with the keeper: a keeper made before the
      // process has set up its signal mask must not own a thread that takes its signals.
      if (!closer_.joinable()) closer_ = std::thread([this] { CloseWhenIdle(); });
    }
  }
  changed_.notify_all();
}

void ConnectionKeeper::LearnUnannouncedClose(const std::string& host, int port,
                                             SteadyClock::duration idle) {
  std::lock_guard<std::mutex> guard(lock_);
  LearnLocked(host, port, idle);
}

void ConnectionKeeper::LearnLocked(const std::string& host, int port, SteadyClock::duration idle) {
  if (host != learnedHost_ || port != learnedPort_) {
    learnedHost_ = host;
    learnedPort_ = port;
    learnedLimit_ = SteadyClock::duration::max();
    quickCloses_ = 0;
  }
  if (idle < kShortestServerIdle && ++quickCloses_ < 2) return;
  const SteadyClock::duration before = KeptForLocked(host, port);
  // Three quarters of what the server allowed: room for the way to it and back.
  const SteadyClock::duration limit =
      idle < kShortestServerIdle ? SteadyClock::duration::zero() : idle * 3 / 4;
  if (limit >= before) return;
  learnedLimit_ = limit;
  const auto ms = [](SteadyClock::duration d) {
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
  };
  const std::string line =
      limit == SteadyClock::duration::zero()
          ? "morvanix: the remote server closes its connections right after its replies "
            "without saying so; every post to it gets a connection of its own from now on"
          : "morvanix: the remote server closed a connection idle for " + ms(idle) +
                " ms without saying so; connections to it are kept for " + ms(limit) +
                " ms from now on";
  DebugOutput(line.c_str());
}

void ConnectionKeeper::EndWatchLocked(std::unique_lock<std::mutex>& guard) {
  if (watch_ != nullptr) {
    watch_->RequestStop();
    changed_.wait(guard, [this] { return watch_ == nullptr; });
  }
  // The closing thread waits for this before it watches again.
  ++generation_;
  changed_.notify_all();
}

void ConnectionKeeper::CloseWhenIdle() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!ending_) {
    if (kept_ == nullptr) {
      changed_.wait(guard, [this] { return ending_ || kept_ != nullptr; });
      continue;
    }
    const std::uint64_t generation = generation_;
    const SocketHandle sock = kept_->Socket();
    const Deadline closeAt = closeAt_;
    StopSource watch;
    watch_ = &watch;
    guard.unlock();
    // Readable while idle: the server closed or reset it, or sent something (a TLS ticket).
    const WaitOutcome outcome = WaitForSocket(sock, Readiness::kRead, closeAt, watch.Token());
    guard.lock();
    watch_ = nullptr;
    changed_.notify_all();
    if (outcome == WaitOutcome::kStopped) {
      // Ended for a post or a new connection: watch again once it has been handed over.
      changed_.wait(guard, [&] { return ending_ || generation != generation_; });
      continue;
    }
    if (generation != generation_ || kept_ == nullptr) continue;
    bool close = outcome != WaitOutcome::kReady && outcome != WaitOutcome::kHangUp;
    if (!close) {
      const IdleState state = kept_->LookIdle();
      if (state == IdleState::kEnded) {
        LearnLocked(kept_->Host(), kept_->Port(), kept_->IdleFor());
      }
      close = state != IdleState::kUsable;
    }
    if (!close) continue;
    // Kept to its limit, the server closing nothing: a close right after a reply before this
    // was none of its habit.
    if (outcome == WaitOutcome::kTimedOut && kept_->Host() == learnedHost_ &&
        kept_->Port() == learnedPort_) {
      quickCloses_ = 0;
    }
    std::unique_ptr<RemoteConnection> idle = std::move(kept_);
    ++generation_;
    guard.unlock();
    idle.reset();
    guard.lock();
  }
}

}  // namespace morvanix
