// Callers of the loopback API that no browser would be: floods of one request head, and
// hundreds of connections that trickle. Memory stays bounded, a trickled request is cut off,
// and a stop still gets in.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "agent_fixture.h"
#include "process_memory.h"
#include "raw_http.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kApiPort = 8070;

// Writes head, then unit over and over for `length` (or until the agent stops reading or
// closes), while reading and keeping whatever the agent sends. Every wait is bounded.
struct FloodResult {
  std::string received;
  bool closedByAgent = false;
  long peakKiB = 0;
};

FloodResult Flood(pid_t agent, const std::string& head, const std::string& unit,
                  std::chrono::milliseconds length) {
  FloodResult result;
  RawConnection connection(kApiPort);
  if (!connection.Connected()) return result;
  std::string block;
  while (block.size() < 64 * 1024) block += unit;
  std::string pending = head;
  const auto end = Clock::now() + length;
  auto nextSample = Clock::now();
  while (Clock::now() < end) {
    if (Clock::now() >= nextSample) {
      result.peakKiB = std::max(result.peakKiB, ResidentKiB(agent));
      nextSample = Clock::now() + 50ms;
    }
    if (pending.empty()) pending = block;
    pollfd wait{connection.Descriptor(), POLLIN | POLLOUT, 0};
    if (::poll(&wait, 1, 50) <= 0) continue;
    if (wait.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[4096];
      const ssize_t got = ::recv(wait.fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got <= 0) {
        result.closedByAgent = true;
        break;
      }
      result.received.append(buffer, static_cast<std::size_t>(got));
    }
    if (wait.revents & POLLOUT) {
      const ssize_t sent =
          ::send(wait.fd, pending.data(), pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        result.closedByAgent = true;
        break;
      }
      if (sent > 0) pending.erase(0, static_cast<std::size_t>(sent));
    }
  }
  result.peakKiB = std::max(result.peakKiB, ResidentKiB(agent));
  return result;
}

// The status codes of the responses in what the agent sent.
std::vector<int> Statuses(const std::string& received) {
  std::vector<int> statuses;
  for (std::size_t at = received.find("HTTP/1.1 "); at != std::string::npos;
       at = received.find("HTTP/1.1 ", at + 1)) {
    statuses.push_back(std::atoi(received.c_str() + at + 9));
  }
  return statuses;
}

class LoopbackFaults : public AgentFixture {
 protected:
  void ExpectStopAnsweredWithin(std::chrono::milliseconds limit) {
    const auto started = Clock::now();
    auto stop = RawRequest(kApiPort, GetRequest("GET", "/RSQ/x"));
    ASSERT_TRUE(stop) << "no answer to /RSQ/";
    EXPECT_EQ(stop->status, 200);
    EXPECT_EQ(stop->body, " ");
    EXPECT_LT(Clock::now() - started, limit);
  }
};

TEST_F(LoopbackFaults, FloodedRequestHeadsAreCutOffWithinBoundedMemory) {
  const std::string request = GetRequest("GET", "/RSQ/inner");
  struct Case {
    const char* name;
    std::string head;
    std::string unit;
    int status;  // of the one answer allowed before the agent closes; 0: closed unanswered
  };
  const Case cases[] = {
      {"request line without end", "GET /RSQ/", "a", 0},
      {"header lines without end", "GET /RSQ/x HTTP/1.1\r\n", "X-Filler: aaaaaaaaaaaaaaaa\r\n",
       400},
      {"one header line without end", "GET /RSQ/x HTTP/1.1\r\nX-Filler: ", "a", 400},
      // A declared body is never read as requests of its own.
      {"declared body of a GET full of requests",
       "GET /RSQ/x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000000000\r\n\r\n", request,
       413},
  };
  StartAgent();
  ExpectStopAnsweredWithin(2s);
  const long idleKiB = ResidentKiB(agent_.pid());
  ASSERT_GT(idleKiB, 0);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FloodResult flood = Flood(agent_.pid(), c.head, c.unit, 3s);
    const std::vector<int> statuses = Statuses(flood.received);
    EXPECT_EQ(statuses, c.status == 0 ? std::vector<int>{} : std::vector<int>{c.status})
        << flood.received.substr(0, 400);
    EXPECT_TRUE(flood.closedByAgent);
    EXPECT_LT(flood.peakKiB, idleKiB + 16 * 1024) << "idle " << idleKiB << " KiB";
    ASSERT_TRUE(agent_.Running());
    ExpectStopAnsweredWithin(2s);
  }
  // An overlong target that still fits a line is refused with 414.
  auto refused = RawRequest(kApiPort, GetRequest("GET", "/RSQ/" + std::string(6000, 'a')));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 414);
}

TEST_F(LoopbackFaults, TricklingConnectionsAreCutAndDoNotKeepAStopOut) {
  StartAgent();
  constexpr int kSlow = 300;
  std::vector<std::unique_ptr<RawConnection>> slow;
  for (int i = 0; i < kSlow; ++i) {
    auto connection = std::make_unique<RawConnection>(kApiPort);
    ASSERT_TRUE(connection->Connected()) << i;
    ASSERT_TRUE(connection->Send("G"));
    slow.push_back(std::move(connection));
  }
  // Each connection gets one more byte a second, well inside any per-read time-out, until
  // its request is over ten seconds late.
  const std::string head = "ET /RSQ/slow HTTP/1.1\r\nX-Slow: abcdefghijklmnopqrstuvwxyz";
  for (std::size_t round = 0; round < 14; ++round) {
    std::this_thread::sleep_for(1s);
    for (auto& connection : slow) connection->Send(head.substr(round, 1));
    SCOPED_TRACE(round);
    ExpectStopAnsweredWithin(2s);
    if (round == 7) {
      EXPECT_FALSE(slow.front()->ClosedWithin(1ms)) << "cut too early";
    }
  }
  const auto stillOpen = std::count_if(slow.begin(), slow.end(), [](const auto& connection) {
    return !connection->ClosedWithin(100ms);
  });
  EXPECT_EQ(stillOpen, 0);
  EXPECT_TRUE(agent_.Running());
}

TEST_F(LoopbackFaults, OnlyRequestsAddressedToTheAgentAreServed) {
  StartAgent();
  struct Case {
    const char* ssid;
    const char* request;
    int status;
  };
  // A page whose name was made to resolve to 127.0.0.1 calls with its own name as Host.
  const Case cases[] = {
      {"rebound", "GET /AC/rebound HTTP/1.1\r\nHost: attacker.example:8070\r\n\r\n", 403},
      {"rebound_bare", "GET /AC/rebound_bare HTTP/1.1\r\nHost: attacker.example\r\n\r\n", 403},
      {"rebound_rq", "GET /RQ/rebound_rq HTTP/1.1\r\nHost: attacker.example:8070\r\n\r\n", 403},
      {"other_port", "GET /AC/other_port HTTP/1.1\r\nHost: localhost:8071\r\n\r\n", 403},
      {"named", "GET /AC/named HTTP/1.1\r\nHost: localhost:8070\r\n\r\n", 200},
      {"numeric", "GET /AC/numeric HTTP/1.1\r\nHost: 127.0.0.1:8070\r\n\r\n", 200},
      {"no_host", "GET /AC/no_host HTTP/1.0\r\n\r\n", 200},
  };
  std::size_t served = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ssid);
    auto response = RawRequest(kApiPort, c.request);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, c.status);
    if (c.status == 200) ++served;
    // The agent check posts before it answers, so whatever it sent has arrived.
    std::size_t posted = 0;
    for (const auto& message : Received()) posted += message.ssid == c.ssid;
    EXPECT_EQ(posted, c.status == 200 ? 1u : 0u);
  }
  const std::string log = EventLog();
  std::size_t logged = 0;
  for (std::size_t at = log.find("Got check request"); at != std::string::npos;
       at = log.find("Got check request", at + 1)) {
    ++logged;
  }
  EXPECT_EQ(logged, served);
  EXPECT_TRUE(agent_.Running());
}

}  // namespace
