// The real Linux executable, started from a folder of its own so that its event log lands
// there. These tests take the loopback port 8070.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "raw_http.h"
#include "temp_folder.h"

using namespace std::chrono_literals;

namespace {

class AgentProcess {
 public:
  explicit AgentProcess(const std::filesystem::path& folder) : folder_(folder) {
    const std::filesystem::path executable = folder / "morvanix-agent";
    std::filesystem::copy_file(MORVANIX_AGENT_PATH, executable);
    started_ = child_.Start(executable.string(), {}, {}, (folder / "stderr.txt").string());
  }

  bool Started() const { return started_; }
  void Signal(int signal) { child_.Signal(signal); }

  // The exit code once the process has ended within the limit.
  std::optional<int> WaitForExit(std::chrono::milliseconds limit) {
    const int status = child_.Wait(limit);
    if (status < 0) return std::nullopt;
    return status;
  }

  std::vector<std::string> LogLines() const { return ReadLines(folder_ / "vd_service.log"); }
  std::string Errors() const { return ReadFile(folder_ / "stderr.txt"); }

 private:
  std::filesystem::path folder_;
  ChildProcess child_;
  bool started_ = false;
};

bool WaitForAnswer(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (RawRequest(8070, GetRequest("GET", "/RSQ/probe"))) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

void ExpectStartLines(const std::vector<std::string>& lines) {
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0].substr(24), ": ");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "Local agent app");
  EXPECT_EQ(lines[3].substr(24), ": Ready and listening.....");
}

TEST(ServiceBinary, ServesUntilAStopSignalThenExitsCleanly) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    TempFolder folder;
    AgentProcess agent(folder.Path());
    ASSERT_TRUE(agent.Started());
    ASSERT_TRUE(WaitForAnswer(10s));

    auto answer = RawRequest(8070, GetRequest("GET", "/RSQ/x"));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->body, " ");
    EXPECT_EQ(answer->Header("Content-Type"), "text/plain");

    agent.Signal(signal);
    EXPECT_EQ(agent.WaitForExit(2s), 0);

    const std::vector<std::string> lines = agent.LogLines();
    ExpectStartLines(lines);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[4].substr(24), ": Stopping the http server: ");
    const std::string errors = agent.Errors();
    EXPECT_NE(errors.find("morvanix: service status STOP_PENDING"), std::string::npos) << errors;
    EXPECT_NE(errors.find("Pellinor: ServiceWorkerThread: Exit\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("morvanix: service status STOPPED (type 0x10, controls 0, exit code "
                          "0, check point 3)\n"),
              std::string::npos)
        << errors;
  }
}

TEST(ServiceBinary, StopsAtOnceWhenThePortIsTaken) {
  const int occupant = OccupyLoopbackPort(8070);
  ASSERT_GE(occupant, 0);

  TempFolder folder;
  AgentProcess agent(folder.Path());
  ASSERT_TRUE(agent.Started());
  EXPECT_EQ(agent.WaitForExit(2s), 0);
  ::close(occupant);

  const std::vector<std::string> lines = agent.LogLines();
  ExpectStartLines(lines);
  EXPECT_EQ(lines.size(), 4u);
  const std::string errors = agent.Errors();
  EXPECT_EQ(errors.find("STOP_PENDING"), std::string::npos) << errors;
  EXPECT_NE(errors.find("Pellinor: ServiceWorkerThread: Exit\n"), std::string::npos) << errors;
}

}  // namespace
