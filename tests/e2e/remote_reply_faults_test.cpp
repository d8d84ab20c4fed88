// Replies from the remote server that no HTTP peer should send: each post must fail as any
// failed post does, within bounded memory, and the agent must go on serving.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>

#include "agent_fixture.h"
#include "process_memory.h"
#include "stub_fault.h"

using namespace std::chrono_literals;
using morvanix::stub::Fault;
using morvanix::stub::FaultKind;

namespace {

class RemoteReplyFaults : public AgentFixture {};

TEST_F(RemoteReplyFaults, EveryOverlongReplyHeadFailsThePostAndTheAgentGoesOn) {
  struct Case {
    const char* name;
    FaultKind kind;
    std::size_t bytes;
  };
  constexpr std::size_t kEndless = 1024u * 1024u * 1024u;  // far more than any limit reads
  const Case cases[] = {
      {"an ordinary failure, for comparison", FaultKind::Status, 0},
      // The longest line the library takes whole, and so matches as a status line.
      {"reason phrase just inside the line limit", FaultKind::LongReason, 8150},
      {"status line of 20 KB", FaultKind::LongStatus, 20000},
      {"status line of 100 KB", FaultKind::LongStatus, 100000},
      {"status line of 10 MB", FaultKind::LongStatus, 10u * 1024u * 1024u},
      {"status line without end", FaultKind::LongStatus, kEndless},
      {"reason phrase of 100 KB after a valid code", FaultKind::LongReason, 100000},
      {"header value of 100 KB", FaultKind::LongHeader, 100000},
      {"header lines without end", FaultKind::ManyHeaders, kEndless},
  };
  StartAgent();
  ASSERT_TRUE(Get("/RSQ/warmup"));
  const long idleKiB = ResidentKiB(agent_.pid());
  ASSERT_GT(idleKiB, 0);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fault fault;
    fault.kind = c.kind;
    fault.remaining = 1;
    fault.status = 500;
    fault.bytes = c.bytes;
    stub_.SetFault(fault);
    const std::size_t before = Received("AGENT_CHECK").size();

    // The agent check answers the same whatever its post met.
    const auto started = std::chrono::steady_clock::now();
    auto check = std::async(std::launch::async, [this] { return Get("/AC/faulty"); });
    long peakKiB = 0;
    while (check.wait_for(50ms) != std::future_status::ready &&
           std::chrono::steady_clock::now() - started < 60s) {
      peakKiB = std::max(peakKiB, ResidentKiB(agent_.pid()));
    }
    ASSERT_EQ(check.wait_for(0s), std::future_status::ready);
    auto answer = check.get();
    ASSERT_TRUE(answer) << "the agent did not answer; it is " << (agent_.Running() ? "" : "not ")
                        << "running";
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->body, " ");
    EXPECT_EQ(Received("AGENT_CHECK").size(), before + 1) << "the faulty reply was never sent";
    EXPECT_EQ(stub_.CurrentFault().kind, FaultKind::None) << "the fault was not used up";

    ASSERT_TRUE(agent_.Running());
    const auto stopStarted = std::chrono::steady_clock::now();
    auto stop = Get("/RSQ/faulty");
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->body, " ");
    EXPECT_LT(std::chrono::steady_clock::now() - stopStarted, 2s);
    // Generous: a reply head is cut off at a few KiB, so nothing near the size sent is kept.
    EXPECT_LT(peakKiB, idleKiB + 16 * 1024) << "idle " << idleKiB << " KiB";
  }
}

}  // namespace
