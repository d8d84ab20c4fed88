// A post ends at its limit, and soon after a stop, whatever the server does: never takes the
// connection, never reads the request, reads it and never answers, stops halfway through its
// reply (the deadline has to wake a read that waits for a byte that never comes), or sends
// its reply a byte at a time (no single read waits long: the limit is on the whole post).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <future>
#include <optional>
#include <string>

#include "post_target.h"
#include "remote/agent_transport.h"
#include "remote/remote_endpoint.h"
#include "stop_later.h"
#include "stuck_server.h"

using namespace morvanix;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Case {
  const char* name;
  Peer peer;
  std::size_t bodyBytes;
};

const Case kCases[] = {
    {"never accepts the connection", Peer::kNeverAccepts, 100},
    {"never reads the request", Peer::kNeverReads, 16u << 20},
    {"reads the request and never answers", Peer::kNeverAnswers, 100},
    {"stops halfway through its reply", Peer::kFallsSilent, 100},
    {"trickles a reply head that never ends", Peer::kTrickles, 100},
};

// Runs one post on its own thread; how long it took, or nullopt when it outlived `wait`.
std::optional<Clock::duration> TimedPost(const RemoteEndpoint& remote, const std::string& body,
                                         Clock::duration limit, Clock::duration wait) {
  const auto started = Clock::now();
  auto post = std::async(std::launch::async,
                         [&remote, &body, limit] { return PostAgentMessage(remote, body, limit); });
  if (post.wait_for(wait) != std::future_status::ready) {
    post.wait();  // the whole limit, at worst
    return std::nullopt;
  }
  EXPECT_EQ(post.get(), "");
  return Clock::now() - started;
}

TEST(AgentTransportDeadline, EveryStepOfAPostKeepsToTheWholeLimit) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    StuckServer server(c.peer);
    ASSERT_GT(server.Port(), 0);
    PostTarget target(server.Port());
    const auto took = TimedPost(target.Endpoint(), std::string(c.bodyBytes, '7'), 1s, 3s);
    ASSERT_TRUE(took) << "still posting 3 s into a post limited to 1 s";
    EXPECT_GE(*took, 900ms);
  }
}

TEST(AgentTransportDeadline, AStopEndsAPostWithinASecond) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    StuckServer server(c.peer);
    ASSERT_GT(server.Port(), 0);
    StopSource stop;
    PostTarget target(server.Port());
    RemoteEndpoint remote = target.Endpoint();
    remote.stop = stop.Token();
    StopLater stopper(stop, 300ms);
    const auto took = TimedPost(remote, std::string(c.bodyBytes, '7'), 30s, 1300ms);
    EXPECT_TRUE(took) << "a post went on more than a second after a stop";
  }
}

TEST(AgentTransportFailure, AServerThatHangsUpMidPostFailsOnlyThePost) {
#ifdef SIGPIPE
  // As in a process that never asked to ignore it: a send into the hung-up connection must
  // not raise it.
  ::signal(SIGPIPE, SIG_DFL);
#endif
  StuckServer server(Peer::kHangsUp);
  ASSERT_GT(server.Port(), 0);
  PostTarget target(server.Port());
  EXPECT_EQ(PostAgentMessage(target.Endpoint(), std::string(8u << 20, '7'), 10s), "");
}

}  // namespace
