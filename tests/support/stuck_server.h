#pragma once

// A loopback server that is stuck in one of the ways a remote server can be, for tests of
// the bounds on every wait.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "base/socket_calls.h"

// kTrickles answers with a reply head that never ends, one byte every 100 ms, so that no
// single wait for a byte ever runs out.
enum class Peer { kNeverAccepts, kNeverReads, kNeverAnswers, kFallsSilent, kTrickles, kHangsUp };

// A listening socket on a free loopback port that behaves as `peer` says. Written with the
// agent's own portable socket calls, so that the same peers run on POSIX and on Windows.
class StuckServer {
 public:
  explicit StuckServer(Peer peer) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    // A small receive buffer, inherited by accepted connections: a body that is never read
    // fills it quickly.
    const int small = 4096;
    ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small),
                 sizeof small);
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
        const socket_t filler = ::socket(AF_INET, SOCK_STREAM, 0);
        morvanix::SetNonBlocking(filler);
        morvanix::StartConnect(filler, reinterpret_cast<sockaddr*>(&address),
                               static_cast<int>(length));
        fillers_.push_back(filler);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } else {
      serving_ = std::thread([this, peer] { Serve(peer); });
    }
  }
  StuckServer(const StuckServer&) = delete;
  StuckServer& operator=(const StuckServer&) = delete;
  ~StuckServer() {
    done_ = true;
    if (serving_.joinable()) serving_.join();
    for (socket_t filler : fillers_) httplib::detail::close_socket(filler);
    httplib::detail::close_socket(listener_);
  }

  int Port() const { return port_; }

 private:
  // Takes one connection, waiting in slices until the test ends, then holds it: unread, read
  // and never answered, answered with the start of a reply that never goes on, or with a
  // reply head that grows by a byte every tenth slice.
  void Serve(Peer peer) {
    for (;;) {
      if (done_) return;
      const morvanix::WaitOutcome wait =
          morvanix::WaitForSocket(listener_, morvanix::Readiness::kRead,
                                  morvanix::Deadline::After(std::chrono::milliseconds(10)), {});
      if (wait == morvanix::WaitOutcome::kFailed) return;
      if (wait == morvanix::WaitOutcome::kReady) break;
    }
    const socket_t connection = ::accept(listener_, nullptr, nullptr);
    if (connection == INVALID_SOCKET) return;
    if (peer == Peer::kHangsUp) {
      httplib::detail::close_socket(connection);
      return;
    }
    morvanix::SetNonBlocking(connection);
    char buffer[4096];
    std::string heard;
    bool answered = false;
    if (peer == Peer::kTrickles) {
      const std::string head = "HTTP/1.1 200 OK\r\nX-Slow: ";
      answered = morvanix::SendSome(connection, head.data(), head.size()) ==
                 static_cast<std::ptrdiff_t>(head.size());
    }
    for (int slice = 1; !done_; ++slice) {
      if (peer == Peer::kTrickles && answered && slice % 10 == 0 &&
          morvanix::SendSome(connection, "a", 1) != 1) {
        break;
      }
      if (peer == Peer::kNeverAnswers || peer == Peer::kFallsSilent) {
        const ssize_t got = morvanix::ReceiveSome(connection, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && !morvanix::LastCallWouldBlock())) break;
        if (got > 0) heard.append(buffer, static_cast<std::size_t>(got));
      }
      // The head of a chunked reply and its first chunk, once the request's head is in.
      if (peer == Peer::kFallsSilent && !answered && heard.find("\r\n\r\n") != std::string::npos) {
        const std::string start =
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\r\n9797\r\n";
        answered = morvanix::SendSome(connection, start.data(), start.size()) ==
                   static_cast<std::ptrdiff_t>(start.size());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    httplib::detail::close_socket(connection);
  }

  socket_t listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::vector<socket_t> fillers_;
  std::atomic<bool> done_{false};
  std::thread serving_;
};
