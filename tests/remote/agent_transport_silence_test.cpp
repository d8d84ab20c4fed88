// A post whose reply stops halfway ends at its limit, on every platform: the deadline has to
// wake a read that is waiting for a byte that never comes.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "post_target.h"
#include "remote/agent_transport.h"
#include "remote/remote_endpoint.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

TEST(AgentTransportDeadline, EndsAnExchangeWhoseReplyFallsSilent) {
  std::atomic<bool> released{false};
  httplib::Server server;
  server.Post(".*", [&released](const httplib::Request&, httplib::Response& response) {
    response.set_chunked_content_provider("text/plain",
                                          [&released](std::size_t offset, httplib::DataSink& sink) {
                                            if (offset == 0) return sink.write("9797", 4);
                                            while (!released) std::this_thread::sleep_for(10ms);
                                            return false;
                                          });
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&server] { server.listen_after_bind(); });

  PostTarget target(port);
  const auto started = std::chrono::steady_clock::now();
  std::future<std::string> reply = std::async(
      std::launch::async, [&target] { return PostAgentMessage(target.Endpoint(), "97n", 1s); });
  const bool ended = reply.wait_for(5s) == std::future_status::ready;
  const auto took = std::chrono::steady_clock::now() - started;
  released = true;
  EXPECT_TRUE(ended) << "still waiting 5 s into a post limited to 1 s";
  EXPECT_EQ(reply.get(), "");
  if (ended) {
    EXPECT_GE(took, 900ms);
  }
  server.stop();
  serving.join();
}

}  // namespace
