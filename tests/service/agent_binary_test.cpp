// The real Linux executable, started from a folder of its own so that its event log lands
// there. These tests take the loopback port 8070.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "raw_http.h"
#include "temp_folder.h"

extern char** environ;

using namespace std::chrono_literals;

namespace {

class AgentProcess {
 public:
  explicit AgentProcess(const std::filesystem::path& folder) : folder_(folder) {
    const std::filesystem::path executable = folder / "morvanix-agent";
    std::filesystem::copy_file(MORVANIX_AGENT_PATH, executable);
    const std::string program = executable.string();
    const std::string errors = (folder / "stderr.txt").string();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Not the test's own output: an agent left behind by a crashed test must not keep
    // the test runner waiting for the end of that stream.
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;
  ~AgentProcess() {
    if (pid_ > 0 && !exitStatus_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool Started() const { return pid_ > 0; }

  void Signal(int signal) const { ::kill(pid_, signal); }

  // The exit code once the process has ended within the limit.
  std::optional<int> WaitForExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exitStatus_ = status;
        if (WIFEXITED(status)) return WEXITSTATUS(status);
        return 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
  }

  std::vector<std::string> LogLines() const { return ReadLines(folder_ / "vd_service.log"); }
  std::string Errors() const { return ReadFile(folder_ / "stderr.txt"); }

 private:
  std::filesystem::path folder_;
  pid_t pid_ = -1;
  std::optional<int> exitStatus_;
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
  const int occupant = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(occupant, 0);
  int yes = 1;  // earlier tests leave connections to the port in TIME_WAIT
  ::setsockopt(occupant, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(8070);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(occupant, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(occupant, 4), 0);

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
