#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "remote/remote_endpoint.h"

using namespace morvanix;

namespace {

// The scheme's own port: the build's posts are plain HTTP or HTTPS.
#ifdef MORVANIX_REMOTE_TLS
constexpr int kDefaultPort = 443;
#else
constexpr int kDefaultPort = 80;
#endif

std::vector<std::string>& Reports() {
  static std::vector<std::string> reports;
  return reports;
}

void CaptureReport(const char* text) {
  Reports().push_back(text);
}

struct OverrideCase {
  const char* name;
  const char* host;
  const char* port;
  std::string expectedHost;
  int expectedPort;
  std::vector<std::string> reportMentions;  // one entry per expected report
};

void PrintTo(const OverrideCase& c, std::ostream* os) {
  *os << c.name;
}

class AgentRemoteOverrides : public ::testing::TestWithParam<OverrideCase> {
 protected:
  void SetUp() override { Reports().clear(); }
};

TEST_P(AgentRemoteOverrides, AppliesValidValuesAndReportsTheRest) {
  const OverrideCase& c = GetParam();
  const RemoteEndpoint endpoint = detail::ApplyRemoteEndpointOverrides(
      RemoteEndpoint{"built.in", 80}, c.host, c.port, CaptureReport);
  EXPECT_EQ(endpoint.host, c.expectedHost);
  EXPECT_EQ(endpoint.port, c.expectedPort);
  ASSERT_EQ(Reports().size(), c.reportMentions.size());
  for (std::size_t i = 0; i < Reports().size(); ++i) {
    EXPECT_NE(Reports()[i].find(c.reportMentions[i]), std::string::npos) << Reports()[i];
    EXPECT_LT(Reports()[i].size(), 200u) << "a report stays one short line";
  }
}

const std::string kLongPort(500, '9');

INSTANTIATE_TEST_SUITE_P(
    AgentValues, AgentRemoteOverrides,
    ::testing::Values(
        OverrideCase{"NoneSet", nullptr, nullptr, "built.in", 80, {}},
        OverrideCase{"HostOnly", "staging.example", nullptr, "staging.example", 80, {}},
        OverrideCase{"PortOnly", nullptr, "8080", "built.in", 8080, {}},
        OverrideCase{"Both", "127.0.0.2", "18080", "127.0.0.2", 18080, {}},
        OverrideCase{
            "MalformedPort", "127.0.0.2", "80a", "127.0.0.2", 80, {"MORVANIX_REMOTE_PORT \"80a\""}},
        OverrideCase{"ZeroPort", nullptr, "0", "built.in", 80, {"MORVANIX_REMOTE_PORT"}},
        OverrideCase{"EmptyPort", nullptr, "", "built.in", 80, {"MORVANIX_REMOTE_PORT"}},
        OverrideCase{"LongPortQuotedShort", nullptr, kLongPort.c_str(), "built.in", 80, {"..."}},
        OverrideCase{"EmptyHost", "", "81", "built.in", 81, {"MORVANIX_REMOTE_HOST"}},
        OverrideCase{
            "BothBad", "", "x", "built.in", 80, {"MORVANIX_REMOTE_HOST", "MORVANIX_REMOTE_PORT"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AgentRemoteEndpoint, BuiltInIsTheBuildSettingOnTheSchemesPort) {
  const RemoteEndpoint endpoint = BuiltInRemoteEndpoint();
  EXPECT_EQ(endpoint.host, MORVANIX_EXPECTED_REMOTE_HOST);
  EXPECT_EQ(endpoint.port, kDefaultPort);
}

#ifndef _WIN32
TEST(AgentRemoteEndpoint, EnvironmentOverridesTheBuiltInEndpoint) {
  ::setenv("MORVANIX_REMOTE_HOST", "127.0.0.9", 1);
  ::setenv("MORVANIX_REMOTE_PORT", "9090", 1);
  const RemoteEndpoint overridden = RemoteEndpointFromEnvironment();
  ::setenv("MORVANIX_REMOTE_PORT", "ninety", 1);
  const RemoteEndpoint badPort = RemoteEndpointFromEnvironment();
  ::unsetenv("MORVANIX_REMOTE_HOST");
  ::unsetenv("MORVANIX_REMOTE_PORT");
  const RemoteEndpoint plain = RemoteEndpointFromEnvironment();

  EXPECT_EQ(overridden.host, "127.0.0.9");
  EXPECT_EQ(overridden.port, 9090);
  EXPECT_EQ(badPort.host, "127.0.0.9");
  EXPECT_EQ(badPort.port, kDefaultPort);
  EXPECT_EQ(plain.host, BuiltInRemoteEndpoint().host);
  EXPECT_EQ(plain.port, kDefaultPort);
}
#endif

}  // namespace
