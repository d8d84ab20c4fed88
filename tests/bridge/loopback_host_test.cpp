// Which Host headers name the loopback endpoint, and which navigations it refuses.
#include "bridge/loopback_host.h"

#include <gtest/gtest.h>

#include <string>

using morvanix::IsCrossSiteNavigation;
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

TEST(BridgeLoopbackHost, RefusesOnlyTopLevelNavigationsThatAnotherSiteStarted) {
  struct Case {
    const char* mode;
    const char* dest;
    const char* site;
    bool refused;
  };
  const Case cases[] = {
      {"navigate", "document", "cross-site", true},
      {"navigate", "document", "same-site", true},
      {"Navigate", "DOCUMENT", "Cross-Site", true},
      {"navigate", "document", "", true},
      {"navigate", "document", "none", false},  // typed or bookmarked
      {"navigate", "document", "NONE", false},
      {"no-cors", "empty", "cross-site", false},  // the reference page's calls
      {"no-cors", "image", "cross-site", false},
      {"no-cors", "script", "cross-site", false},
      {"navigate", "iframe", "cross-site", false},
      {"navigate", "", "cross-site", false},
      {"", "document", "cross-site", false},
      {"", "", "", false},  // curl, the diagnostics program, older browsers
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + "/" + c.dest + "/" + c.site);
    EXPECT_EQ(IsCrossSiteNavigation(c.mode, c.dest, c.site), c.refused);
  }
}

}  // namespace
