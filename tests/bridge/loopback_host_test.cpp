// Which Host headers name the loopback endpoint.
#include "bridge/loopback_host.h"

#include <gtest/gtest.h>

using morvanix::IsLoopbackHost;

namespace {

TEST(BridgeLoopbackHost, AcceptsOnlyTheLoopbackNamesAndTheServedPort) {
  struct Case {
    const char* host;
    bool accepted;
  };
  const Case cases[] = {
      {"127.0.0.1", true},
      {"localhost", true},
      {"LocalHost", true},
      {"LOCALHOST:8070", true},
      {"127.0.0.1:8070", true},
      {"attacker.example:8070", false},
      {"attacker.example", false},
      {"localhost.attacker.example", false},
      {"127.0.0.1.nip.example:8070", false},
      {"localhost:8071", false},
      {"localhost:", false},
      {"localhost:08070", false},
      {"localhost:8070:8070", false},
      {"127.0.0.2", false},
      {"[::1]:8070", false},
      {"", false},
      {" localhost", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(IsLoopbackHost(c.host, 8070), c.accepted);
  }
  // Before a port is bound, no port is accepted.
  EXPECT_FALSE(IsLoopbackHost("localhost:0", 0));
  EXPECT_TRUE(IsLoopbackHost("localhost", 0));
}

}  // namespace
