#pragma once

// A plain HTTP server for tests of the agent's kept connection, in one of the ways real
// servers end connections. It records every request body it reads, and the connections it
// took. Written with the agent's portable socket calls, so that it runs on POSIX and on
// Windows.
#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/socket_calls.h"

enum class Ending {
  kKeepsOpen,             // HTTP/1.1, keeps every connection open
  kClosesSilently,        // closes after each reply without saying so, unread what came next
  kClosesWhenIdle,        // closes a connection idle for a second
  kClosesAfterTwo,        // closes after a connection's second reply, likewise
  kSaysConnectionClose,   // answers "Connection: close" and closes
  kHttp10,                // answers HTTP/1.0 and closes
  kResetsOnSecondMessage  // reads the second message, then resets the connection
};

// Whether a server's reset reaches its peer as one. Wine's abortive close sends an end of
// stream, and its sockets report a peer's reset as an end of stream too.
inline bool ResetsReachPeers() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr;
#else
  return true;
#endif
}

class ScriptedServer {
 public:
  explicit ScriptedServer(Ending ending) : ending_(ending) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    accepting_ = std::thread([this] { Accept(); });
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  ~ScriptedServer() {
    done_.RequestStop();
    if (accepting_.joinable()) accepting_.join();
    for (std::thread& serving : serving_) serving.join();
    morvanix::CloseSocket(listener_);
  }

  int Port() const { return port_; }
  std::vector<std::string> Bodies() {
    std::lock_guard<std::mutex> guard(lock_);
    return bodies_;
  }
  int Connections() {
    std::lock_guard<std::mutex> guard(lock_);
    return connections_;
  }

 private:
  void Accept() {
    for (;;) {
      const morvanix::WaitOutcome wait = morvanix::WaitForSocket(
          listener_, morvanix::Readiness::kRead, morvanix::Deadline::Never(), done_.Token());
      if (wait != morvanix::WaitOutcome::kReady) return;
      const morvanix::SocketHandle sock = ::accept(listener_, nullptr, nullptr);
      if (sock == morvanix::kNoSocket) continue;
      morvanix::SetNonBlocking(sock);
      std::lock_guard<std::mutex> guard(lock_);
      ++connections_;
      serving_.emplace_back([this, sock] { Serve(sock); });
    }
  }

  // One request read whole: its body, or nothing when the connection ended or idled out.
  bool ReadRequest(morvanix::SocketHandle sock, std::string& pending, std::string& body) {
    const auto idle =
        ending_ == Ending::kClosesWhenIdle ? std::chrono::seconds(1) : std::chrono::seconds(10);
    for (;;) {
      const std::size_t end = pending.find("\r\n\r\n");
      if (end != std::string::npos) {
        const std::size_t at = pending.find("Content-Length: ");
        const std::size_t length = at < end ? std::stoul(pending.substr(at + 16)) : 0;
        if (pending.size() >= end + 4 + length) {
          body = pending.substr(end + 4, length);
          pending.erase(0, end + 4 + length);
          return true;
        }
      }
      char buffer[4096];
      const std::ptrdiff_t got = morvanix::ReceiveSome(sock, buffer, sizeof buffer);
      if (got > 0) {
        pending.append(buffer, static_cast<std::size_t>(got));
        continue;
      }
      if (got == 0 || !morvanix::LastCallWouldBlock()) return false;
      // A hang-up may come with the request's last bytes: the next receive tells.
      const morvanix::WaitOutcome wait = morvanix::WaitForSocket(
          sock, morvanix::Readiness::kRead, morvanix::Deadline::After(idle), done_.Token());
      if (wait != morvanix::WaitOutcome::kReady && wait != morvanix::WaitOutcome::kHangUp) {
        return false;
      }
    }
  }

  void Serve(morvanix::SocketHandle sock) {
    std::string pending;
    std::string body;
    for (int served = 1; ReadRequest(sock, pending, body); ++served) {
      std::size_t heard = 0;
      {
        std::lock_guard<std::mutex> guard(lock_);
        bodies_.push_back(body);
        heard = bodies_.size();
      }
      if (ending_ == Ending::kResetsOnSecondMessage && heard == 2) {
        const linger abort{1, 0};
        ::setsockopt(sock, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                     sizeof abort);
        break;
      }
      const bool closes = ending_ == Ending::kClosesSilently ||
                          ending_ == Ending::kSaysConnectionClose || ending_ == Ending::kHttp10 ||
                          (ending_ == Ending::kClosesAfterTwo && served == 2);
      const std::string reply =
          std::string(ending_ == Ending::kHttp10 ? "HTTP/1.0" : "HTTP/1.1") +
          " 200 OK\r\nContent-Length: 2\r\n" +
          (ending_ == Ending::kSaysConnectionClose ? "Connection: close\r\n" : "") + "\r\nOK";
      Send(sock, reply);
      if (!closes) continue;
      if (ending_ == Ending::kClosesSilently || ending_ == Ending::kClosesAfterTwo) {
        // A little late, as a loaded server does: a request that follows the reply at once
        // is in flight or arrived unread when the close goes out.
        morvanix::WaitForSocket(sock, morvanix::Readiness::kRead,
                                morvanix::Deadline::After(std::chrono::milliseconds(50)),
                                done_.Token());
        ::shutdown(sock, kShutSend);
      }
      break;
    }
    morvanix::CloseSocket(sock);
  }

#ifdef _WIN32
  static constexpr int kShutSend = SD_SEND;
#else
  static constexpr int kShutSend = SHUT_WR;
#endif

  static void Send(morvanix::SocketHandle sock, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
      const std::ptrdiff_t moved = morvanix::SendSome(sock, text.data() + sent, text.size() - sent);
      if (moved > 0) {
        sent += static_cast<std::size_t>(moved);
      } else if (!morvanix::LastCallWouldBlock() ||
                 morvanix::WaitForSocket(sock, morvanix::Readiness::kWrite,
                                         morvanix::Deadline::After(std::chrono::seconds(5)),
                                         {}) != morvanix::WaitOutcome::kReady) {
        return;
      }
    }
  }

  const Ending ending_;
  morvanix::SocketHandle listener_ = morvanix::kNoSocket;
  int port_ = 0;
  morvanix::StopSource done_;
  std::mutex lock_;
  std::vector<std::string> bodies_;
  int connections_ = 0;
  std::list<std::thread> serving_;
  std::thread accepting_;
};
