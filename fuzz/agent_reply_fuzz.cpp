// Feeds arbitrary bytes as the remote server's reply to one post: the transport reads them
// from a real loopback connection through the HTTP library's client. Whatever arrives, the
// post must end (within its deadline), never crash, and return no more than was sent.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "remote/agent_transport.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// One listening socket for the whole run.
int Listener(int* port) {
  static int listener = -1;
  static int bound = 0;
  if (listener < 0) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    check(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    check(::listen(listener, 4) == 0);
    check(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0);
    bound = ntohs(address.sin_port);
  }
  *port = bound;
  return listener;
}

// Accepts the post's connection, reads its request head, sends the reply bytes, ends the
// writing side and drains until the client closes; one second at most for each wait.
void Answer(int listener, const std::uint8_t* data, std::size_t size) {
  pollfd waiting{listener, POLLIN, 0};
  if (::poll(&waiting, 1, 1000) != 1) return;
  const int connection = ::accept(listener, nullptr, nullptr);
  if (connection < 0) return;
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    pollfd readable{connection, POLLIN, 0};
    if (::poll(&readable, 1, 1000) != 1) break;
    const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.append(buffer, static_cast<std::size_t>(n));
  }
  std::size_t sent = 0;
  while (sent < size) {
    pollfd writable{connection, POLLOUT, 0};
    if (::poll(&writable, 1, 1000) != 1) break;
    const ssize_t n = ::send(connection, data + sent, size - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  ::shutdown(connection, SHUT_WR);
  for (;;) {
    pollfd readable{connection, POLLIN, 0};
    if (::poll(&readable, 1, 1000) != 1 || ::recv(connection, buffer, sizeof buffer, 0) <= 0) break;
  }
  ::close(connection);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  int port = 0;
  const int listener = Listener(&port);
  std::thread server(Answer, listener, data, size);
  const std::string reply = morvanix::PostAgentMessage(morvanix::RemoteEndpoint{"127.0.0.1", port},
                                                       "97n", std::chrono::seconds(5));
  server.join();
  check(reply.size() <= size);
  check(reply.size() <= morvanix::kMaxAgentReplyBytes);
  return 0;
}
