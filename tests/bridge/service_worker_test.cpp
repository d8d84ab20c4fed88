// The service's worker thread on the real port 8070.
#include "bridge/service_worker.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/event_log.h"
#include "bridge/bridge_state.h"
#include "raw_http.h"
#include "service/service_lifecycle.h"

using namespace morvanix;

using namespace std::chrono_literals;

namespace {

class BridgeServiceWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("morvanix-worker-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    const std::string path = (folder_ / "vd_service.log").string();
    ASSERT_TRUE(SetEventLogPath(path));
  }

  void TearDown() override {
    SetEventLogPath("");
    std::filesystem::remove_all(folder_);
  }

  std::vector<std::string> LogLines() const {
    std::ifstream in(folder_ / "vd_service.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  static void ExpectStartLines(const std::vector<std::string>& lines) {
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(24), ": ");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "Local agent app");
    EXPECT_EQ(lines[3].substr(24), ": Ready and listening.....");
  }

  std::future<std::uint32_t> StartWorker() {
    return std::async(std::launch::async, [this] { return ServiceWorkerThread(&agent_); });
  }

  std::filesystem::path folder_;
  BridgeState agent_;
};

TEST_F(BridgeServiceWorker, ServesTheRoutesOnPort8070UntilStopped) {
  testing::internal::CaptureStderr();
  std::future<std::uint32_t> worker = StartWorker();

  std::optional<RawResponse> answer;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!answer && std::chrono::steady_clock::now() < deadline) {
    answer = RawRequest(morvanix::kLoopbackPort, GetRequest("GET", "/RSQ/x"));
    if (!answer) std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, " ");
  StopAgent(agent_);
  ASSERT_EQ(worker.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(worker.get(), 0u);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("Pellinor: ServiceWorkerThread: Exit\n"), std::string::npos) << errors;

  const std::vector<std::string> lines = LogLines();
  ExpectStartLines(lines);
  ASSERT_EQ(lines.size(), 5u) << testing::PrintToString(lines);
  EXPECT_EQ(lines[4].substr(24), ": Stopping the http server: ");
}

TEST_F(BridgeServiceWorker, EndsAtOnceWhenThePortIsTaken) {
  const int occupant = OccupyLoopbackPort(morvanix::kLoopbackPort);
  ASSERT_GE(occupant, 0);

  testing::internal::CaptureStderr();
  std::future<std::uint32_t> worker = StartWorker();
  const bool ended = worker.wait_for(2s) == std::future_status::ready;
  const std::string errors = testing::internal::GetCapturedStderr();
  ::close(occupant);
  ASSERT_TRUE(ended);
  EXPECT_EQ(worker.get(), 0u);
  EXPECT_NE(errors.find("Pellinor: ServiceWorkerThread: Exit\n"), std::string::npos) << errors;

  const std::vector<std::string> lines = LogLines();
  ExpectStartLines(lines);
  EXPECT_EQ(lines.size(), 4u);
}

}  // namespace
