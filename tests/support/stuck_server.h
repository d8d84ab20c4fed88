#pragma once

// A loopback server that is stuck in one of the ways a remote server can be, for tests of
// the bounds on every wait.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

enum class Peer { kNeverAccepts, kNeverReads, kNeverAnswers };

// A listening socket on a free loopback port that behaves as `peer` says.
class StuckServer {
 public:
  explicit StuckServer(Peer peer) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    // A small receive buffer, inherited by accepted connections: a body that is never read
    // fills it quickly.
    const int small = 4096;
    ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    if (peer == Peer::kNeverAccepts) {
      // A backlog of 0 holds one connection; with it taken, further handshakes get no answer.
      for (int i = 0; i < 2; ++i) {
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(filler, reinterpret_cast<sockaddr*>(&address), length);
        fillers_.push_back(filler);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } else {
      serving_ = std::thread([this, peer] {
        const int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0) return;
        char buffer[4096];
        while (!done_) {
          if (peer == Peer::kNeverAnswers) {
            if (::recv(connection, buffer, sizeof buffer, MSG_DONTWAIT) == 0) break;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::close(connection);
      });
    }
  }
  StuckServer(const StuckServer&) = delete;
  StuckServer& operator=(const StuckServer&) = delete;
  ~StuckServer() {
    done_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    if (serving_.joinable()) serving_.join();
    for (int filler : fillers_) ::close(filler);
    ::close(listener_);
  }

  int Port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
  std::atomic<bool> done_{false};
  std::thread serving_;
};
