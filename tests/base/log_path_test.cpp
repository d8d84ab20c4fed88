#include "base/log_path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace morvanix;

namespace {

TEST(ServiceLogPath, IsTheExecutablesFolderPlusTheLogName) {
  struct Case {
    std::string executable;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {R"(C:\A\B\agent.exe)", R"(C:\A\B/vd_service.log)"},
      {"/opt/morvanix/morvanix-agent", "/opt/morvanix/vd_service.log"},
      {"agent.exe", "agent.exe/vd_service.log"},
      {R"(C:\A/B\agent.exe)", R"(C:\A/B/vd_service.log)"},  // the last separator counts
      {R"(C:/A\B/agent.exe)", R"(C:/A\B/vd_service.log)"},
      {"/morvanix-agent", "/vd_service.log"},
      {"/opt/agent.d/", "/opt/agent.d/vd_service.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.executable);
    char logPath[kLogPathCapacity];
    EXPECT_TRUE(ComputeLogPath(c.executable, logPath));
    EXPECT_EQ(std::string(logPath), c.expected);
  }
}

TEST(ServiceLogPath, NeverWritesBeyondItsBuffer) {
  const std::string name = "/vd_service.log";
  struct Case {
    std::size_t folderLength;
    bool fits;
  };
  // The buffer holds the folder, the file name and a NUL, and not a byte more.
  const std::size_t capacity = 40;
  const std::vector<Case> cases = {
      {capacity - name.size() - 1, true},
      {capacity - name.size(), false},
      {capacity * 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folderLength);
    const std::string folder = "/" + std::string(c.folderLength - 1, 'f');
    std::vector<char> buffer(capacity + 8, '#');
    const bool fitted = ComputeLogPath(folder + "/agent", std::span<char>(buffer.data(), capacity));
    EXPECT_EQ(fitted, c.fits);
    EXPECT_EQ(std::string(buffer.data()), c.fits ? folder + name : "");
    for (std::size_t i = capacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], '#') << i;
  }
}

}  // namespace
