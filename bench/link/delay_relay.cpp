// A relay that gives a loopback link the delays of a distant one: every chunk is passed on
// half a round trip after it arrived, each way, and a new connection's first chunk one round
// trip later still (its TCP handshake). Counts the connections it took. For the link-pace
// benchmark; this kernel has no netem.
//
// Usage: delay-relay LISTEN_PORT UPSTREAM_PORT RTT_MS COUNT_FILE
// Prints "delay-relay listening on 127.0.0.1:PORT" once listening (LISTEN_PORT 0: any free
// one) and writes the number of connections taken so far to COUNT_FILE after each.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
  Clock::time_point due;
  std::string bytes;  // empty: the end of the stream
};

// One direction of a connection: a reader that stamps each chunk with its due time and a
// writer that passes it on then, in order.
class Direction {
 public:
  Direction(int from, int to, Clock::duration delay, Clock::duration firstExtra)
      : from_(from), to_(to), delay_(delay), firstExtra_(firstExtra) {}

  void Run() {
    std::thread writer([this] { Write(); });
    char buffer[16384];
    bool first = true;
    for (;;) {
      const ssize_t got = ::recv(from_, buffer, sizeof buffer, 0);
      Chunk chunk{Clock::now() + delay_ + (first ? firstExtra_ : Clock::duration::zero()),
                  got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string()};
      first = false;
      {
        std::lock_guard<std::mutex> guard(lock_);
        queue_.push_back(std::move(chunk));
      }
      changed_.notify_one();
      if (got <= 0) break;
    }
    writer.join();
  }

 private:
  void Write() {
    for (;;) {
      Chunk chunk;
      {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [this] { return !queue_.empty(); });
        chunk = std::move(queue_.front());
        queue_.pop_front();
      }
      std::this_thread::sleep_until(chunk.due);
      if (chunk.bytes.empty()) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      std::size_t sent = 0;
      while (sent < chunk.bytes.size()) {
        const ssize_t moved =
            ::send(to_, chunk.bytes.data() + sent, chunk.bytes.size() - sent, MSG_NOSIGNAL);
        if (moved <= 0) {
          ::shutdown(from_, SHUT_RDWR);  // ends the reader too
          return;
        }
        sent += static_cast<std::size_t>(moved);
      }
    }
  }

  int from_;
  int to_;
  Clock::duration delay_;
  Clock::duration firstExtra_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Chunk> queue_;
};

int ConnectUpstream(int port) {
  const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(sock);
    return -1;
  }
  return sock;
}

void NoDelay(int sock) {
  const int on = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: delay-relay LISTEN_PORT UPSTREAM_PORT RTT_MS COUNT_FILE\n");
    return 2;
  }
  const int upstream = std::atoi(argv[2]);
  const auto rtt = std::chrono::milliseconds(std::atoi(argv[3]));
  const std::string countFile = argv[4];
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener, 64) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("delay-relay");
    return 1;
  }
  std::printf("delay-relay listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  long taken = 0;
  for (;;) {
    const int client = ::accept(listener, nullptr, nullptr);
    if (client < 0) continue;
    const int server = ConnectUpstream(upstream);
    if (server < 0) {
      ::close(client);
      continue;
    }
    NoDelay(client);
    NoDelay(server);
    std::ofstream(countFile) << ++taken << "\n";
    std::thread([client, server, rtt] {
      Direction up(client, server, rtt / 2, rtt);
      Direction down(server, client, rtt / 2, Clock::duration::zero());
      std::thread upward([&up] { up.Run(); });
      down.Run();
      upward.join();
      ::close(client);
      ::close(server);
    }).detach();
  }
}
