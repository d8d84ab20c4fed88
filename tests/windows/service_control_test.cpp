// The agent executable under the platform's service control manager: registered, started,
// asked for its status, stopped, and its event log read back. Each test installs a copy of
// the executable in a folder of its own, so the log it writes next to itself is the test's.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

constexpr const char* kServiceName = "morvanix";
constexpr int kLoopbackPort = 8070;

// The build tree is reached through the drive that maps the Unix root.
std::string WindowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> SplitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
    lines.push_back(text.substr(at, end - at));
  }
  lines.push_back(text.substr(at));  // what follows the last line break: empty when whole
  return lines;
}

// "Mon Dec  7 05:13:44 2026: " followed by the message.
bool IsLogLine(const std::string& line, const std::string& message) {
  if (line.size() != 24 + 2 + message.size()) return false;
  const std::string stamp = line.substr(0, 24);
  return stamp[3] == ' ' && stamp[7] == ' ' && stamp[10] == ' ' && stamp[13] == ':' &&
         stamp[16] == ':' && stamp[19] == ' ' && line.compare(24, 2, ": ") == 0 &&
         line.compare(26, std::string::npos, message) == 0;
}

struct LoopbackAnswer {
  int status = -1;
  std::string body;
};

LoopbackAnswer GetLoopback(const std::string& path) {
  httplib::Client client("127.0.0.1", kLoopbackPort);
  client.set_connection_timeout(2);
  client.set_read_timeout(5);
  LoopbackAnswer answer;
  if (auto result = client.Get(path.c_str())) {
    answer.status = result->status;
    answer.body = result->body;
  }
  return answer;
}

// A listening socket on the agent's loopback port, held for as long as the object lives.
class LoopbackPortHolder {
 public:
  LoopbackPortHolder() {
    WSADATA wsa;
    started = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (holder == INVALID_SOCKET) return;
    BOOL exclusive = TRUE;
    setsockopt(holder, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kLoopbackPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    held = bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
           listen(holder, 4) == 0;
  }
  ~LoopbackPortHolder() {
    if (holder != INVALID_SOCKET) closesocket(holder);
    if (started) WSACleanup();
  }
  LoopbackPortHolder(const LoopbackPortHolder&) = delete;
  LoopbackPortHolder& operator=(const LoopbackPortHolder&) = delete;

  bool held = false;

 private:
  bool started = false;
  SOCKET holder = INVALID_SOCKET;
};

// One registration of the agent under the service name, removed again at the end.
class WindowsServiceControl : public ::testing::Test {
 protected:
  void SetUp() override {
    // Another program on the port would answer in the agent's place.
    ASSERT_TRUE(LoopbackPortHolder().held)
        << "127.0.0.1:" << kLoopbackPort << " is taken by another program";
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    folder = std::string(temp) + "morvanix-scm-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string exe = folder + "\\morvanix-agent.exe";
    ASSERT_TRUE(CopyFileA(WindowsPath(MORVANIX_AGENT_PATH).c_str(), exe.c_str(), FALSE))
        << "cannot copy " << MORVANIX_AGENT_PATH << ": " << GetLastError();
    logPath = folder + "/vd_service.log";
    DeleteFileA(logPath.c_str());

    manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr) << GetLastError();
    service = CreateServiceA(manager, kServiceName, kServiceName, SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             exe.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << "CreateService: " << GetLastError();
  }

  void TearDown() override {
    if (service != nullptr) {
      SERVICE_STATUS status;
      if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        WaitForState(SERVICE_STOPPED, seconds(20));
      }
      DeleteService(service);
      CloseServiceHandle(service);
    }
    if (manager != nullptr) CloseServiceHandle(manager);
    DeleteFileA(logPath.c_str());
    DeleteFileA((folder + "\\morvanix-agent.exe").c_str());
    RemoveDirectoryA(folder.c_str());
  }

  SERVICE_STATUS_PROCESS Query() {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    EXPECT_TRUE(QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                     reinterpret_cast<BYTE*>(&status), sizeof status, &needed))
        << GetLastError();
    return status;
  }

  // The last status seen; its state is the wanted one unless the time ran out.
  SERVICE_STATUS_PROCESS WaitForState(DWORD state, Clock::duration limit) {
    const auto deadline = Clock::now() + limit;
    SERVICE_STATUS_PROCESS status = Query();
    while (status.dwCurrentState != state && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      status = Query();
    }
    return status;
  }

  void StartAndWaitUntilRunning() {
    ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << "StartService: " << GetLastError();
    const SERVICE_STATUS_PROCESS running = WaitForState(SERVICE_RUNNING, seconds(20));
    ASSERT_EQ(running.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(running.dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(running.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));
    EXPECT_EQ(running.dwWin32ExitCode, 0u);
    EXPECT_EQ(running.dwCheckPoint, 0u);
  }

  bool WaitUntilServing() {
    const auto deadline = Clock::now() + seconds(20);
    while (Clock::now() < deadline) {
      if (GetLoopback("/RSQ/scm").status == 200) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  void ExpectStoppedCleanly(const SERVICE_STATUS_PROCESS& stopped) {
    EXPECT_EQ(stopped.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped.dwWin32ExitCode, 0u);
    EXPECT_EQ(stopped.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(stopped.dwControlsAccepted, 0u);
  }

  std::string folder;
  std::string logPath;
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
};

TEST_F(WindowsServiceControl, StartServeInterrogateAndStop) {
  StartAndWaitUntilRunning();
  ASSERT_TRUE(WaitUntilServing()) << "nothing answers on 127.0.0.1:" << kLoopbackPort;
  const LoopbackAnswer answer = GetLoopback("/RSQ/scm");
  EXPECT_EQ(answer.body, " ");

  // Interrogate is not acted on: the service stays as it was and reports nothing new.
  SERVICE_STATUS status{};
  EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status)) << GetLastError();
  EXPECT_EQ(Query().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(GetLoopback("/RSQ/scm").status, 200);

  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  if (status.dwCurrentState == SERVICE_STOP_PENDING) {
    EXPECT_EQ(status.dwCheckPoint, 4u);
    EXPECT_EQ(status.dwControlsAccepted, 0u);
  } else {
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  }
  const SERVICE_STATUS_PROCESS stopped = WaitForState(SERVICE_STOPPED, seconds(20));
  ExpectStoppedCleanly(stopped);
  EXPECT_EQ(stopped.dwCheckPoint, 3u);
  EXPECT_EQ(GetLoopback("/RSQ/scm").status, -1) << "still answering after the stop";

  // Text mode: the line feeds inside and after each message reach the file as CR LF.
  const std::vector<std::string> lines = SplitCrLf(ReadWholeFile(logPath));
  ASSERT_EQ(lines.size(), 6u) << ReadWholeFile(logPath);
  EXPECT_TRUE(IsLogLine(lines[0], "")) << lines[0];
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "Local agent app");
  EXPECT_TRUE(IsLogLine(lines[3], "Ready and listening.....")) << lines[3];
  EXPECT_TRUE(IsLogLine(lines[4], "Stopping the http server: ")) << lines[4];
  EXPECT_EQ(lines[5], "");
}

TEST_F(WindowsServiceControl, StopRightAfterRunningStillEndsTheService) {
  StartAndWaitUntilRunning();
  SERVICE_STATUS status{};
  ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  ExpectStoppedCleanly(WaitForState(SERVICE_STOPPED, seconds(20)));
}

// The loopback port is taken: the worker's listen fails at once, the worker ends and the
// service stops by itself, with the two start lines and no stop line in its log.
TEST_F(WindowsServiceControl, PortInUseStopsTheServiceByItself) {
  LoopbackPortHolder port;
  ASSERT_TRUE(port.held);

  ASSERT_TRUE(StartServiceA(service, 0, nullptr)) << "StartService: " << GetLastError();
  const SERVICE_STATUS_PROCESS stopped = WaitForState(SERVICE_STOPPED, seconds(20));
  ExpectStoppedCleanly(stopped);
  EXPECT_EQ(stopped.dwCheckPoint, 3u);

  const std::vector<std::string> lines = SplitCrLf(ReadWholeFile(logPath));
  ASSERT_EQ(lines.size(), 5u) << ReadWholeFile(logPath);
  EXPECT_TRUE(IsLogLine(lines[0], "")) << lines[0];
  EXPECT_EQ(lines[2], "Local agent app");
  EXPECT_TRUE(IsLogLine(lines[3], "Ready and listening.....")) << lines[3];
  EXPECT_EQ(lines[4], "");
}

}  // namespace
