// An idle agent sleeps: no thread of the loopback server wakes while nothing happens.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_http.h"
#include "serving_loopback.h"
#include "thread_wake_ups.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

TEST(BridgeLoopbackIdle, NoThreadWakesWhileNothingHappens) {
  struct Case {
    const char* name;
    std::size_t maxConnections;
    int connections;  // opened, none sending a request
  };
  const Case cases[] = {
      {"listening, one connection waiting for its request", LoopbackLimits{}.maxConnections, 1},
      {"every slot taken, the next connection waiting for one", 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BridgeState agent;
    LoopbackLimits limits;
    limits.maxConnections = c.maxConnections;
    LoopbackServer capped(agent.stop.Token(), limits);
    // The agent's own server where its limits are the case's.
    LoopbackServer& server =
        c.maxConnections == LoopbackLimits{}.maxConnections ? agent.httpServer : capped;
    RoutesOf(agent)(server.Http());
    const int port = server.Bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    std::future<bool> serving =
        std::async(std::launch::async, [&server] { return server.Serve(); });
    std::vector<std::unique_ptr<RawConnection>> connections;
    for (int i = 0; i < c.connections; ++i) {
      connections.push_back(std::make_unique<RawConnection>(port));
      ASSERT_TRUE(connections.back()->Connected());
    }
    std::this_thread::sleep_for(300ms);  // every thread into its wait

    // Shorter than the 5 s a connection may wait for its request.
    const auto before = OtherThreadsSwitches();
    std::this_thread::sleep_for(3s);
    const auto after = OtherThreadsSwitches();
    EXPECT_GE(after.size(), 2u) << "the accept loop and a connection's thread";
    EXPECT_EQ(WakeUpsBetween(before, after), 0);

    agent.stop.RequestStop();
    EXPECT_EQ(serving.wait_for(2s), std::future_status::ready);
  }
}

}  // namespace
