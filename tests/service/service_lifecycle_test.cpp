#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "base/event_log.h"
#include "base/log_path.h"
#include "bridge/service_worker.h"
#include "recording_service_host.h"
#include "service/service_lifecycle.h"
#include "temp_folder.h"

using namespace morvanix;
using namespace std::chrono_literals;

namespace {

struct ExpectedStatus {
  std::uint32_t state;
  std::uint32_t controlsAccepted;
  std::uint32_t exitCode;
  std::uint32_t checkPoint;
};

const ExpectedStatus kStartPending{kServiceStartPending, 0, 0, 0};
const ExpectedStatus kRunning{kServiceRunning, kServiceAcceptStop, 0, 0};
const ExpectedStatus kStopPending{kServiceStopPending, 0, 0, 4};
const ExpectedStatus kStopped{kServiceStopped, 0, 0, 3};

void ExpectReports(const std::vector<ServiceStatus>& reports,
                   const std::vector<ExpectedStatus>& expected) {
  ASSERT_EQ(reports.size(), expected.size());
  for (std::size_t i = 0; i < reports.size(); ++i) {
    SCOPED_TRACE("report " + std::to_string(i));
    EXPECT_EQ(reports[i].dwServiceType, kServiceWin32OwnProcess);
    EXPECT_EQ(reports[i].dwCurrentState, expected[i].state);
    EXPECT_EQ(reports[i].dwControlsAccepted, expected[i].controlsAccepted);
    EXPECT_EQ(reports[i].dwWin32ExitCode, expected[i].exitCode);
    EXPECT_EQ(reports[i].dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(reports[i].dwCheckPoint, expected[i].checkPoint);
    EXPECT_EQ(reports[i].dwWaitHint, 0u);
  }
}

bool Contains(const std::vector<std::string>& calls, const std::string& call) {
  for (const std::string& each : calls) {
    if (each == call) return true;
  }
  return false;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Each test runs a fresh agent under the recording host, with the event log in a folder of
// its own.
class ServiceLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = (folder_.Path() / "vd_service.log").string();
    ASSERT_TRUE(SetEventLogPath(path));
  }

  void TearDown() override {
    agent_.stop.RequestStop();
    if (serviceMain_.joinable()) serviceMain_.join();
    SetEventLogPath("");
  }

  // The service main thread, as the dispatcher would start it.
  void StartServiceMain() {
    serviceMain_ = std::thread([this] { ServiceMain(1, nullptr, &service_); });
  }

  void Control(std::uint32_t control) { ServiceControlHandler(control, &service_); }

  void JoinServiceMain() {
    if (serviceMain_.joinable()) serviceMain_.join();
  }

  // A worker that serves the agent's server on a free port until the stop.
  void UseServingWorker() {
    host_.worker = [this] {
      if (agent_.httpServer.Bind("127.0.0.1", 0) > 0) agent_.httpServer.Serve();
    };
  }

  bool ServerRunning() {
    return WaitUntil([this] { return agent_.httpServer.IsRunning(); });
  }

  std::vector<std::string> LogLines() const { return ReadLines(folder_.Path() / "vd_service.log"); }

  TempFolder folder_;
  RecordingServiceHost host_;
  BridgeState agent_;
  RunningService service_{host_, agent_};
  std::thread serviceMain_;
};

TEST_F(ServiceLifecycle, StartsAndStopsOnTheStopControl) {
  UseServingWorker();
  StartServiceMain();
  ASSERT_TRUE(host_.WaitForState(kServiceRunning));
  ASSERT_TRUE(ServerRunning());

  // The dispatcher delivers the stop through the handler and context that were registered.
  ControlHandlerFunction handler = host_.RegisteredHandler();
  ASSERT_EQ(handler, &ServiceControlHandler);
  ASSERT_EQ(host_.RegisteredContext(), &service_);
  agent_.repeatBudget = 700;  // a series running on some connection
  handler(kServiceControlStop, host_.RegisteredContext());
  EXPECT_EQ(agent_.repeatBudget.load(), 0);
  EXPECT_TRUE(agent_.stop.StopRequested());
  JoinServiceMain();

  ExpectReports(host_.Reports(), {kStartPending, kRunning, kStopPending, kStopped});
  EXPECT_TRUE(host_.AllReportsUsedOwnHandle());
  EXPECT_EQ(host_.StartedProcedure(), &ServiceWorkerThread);
  EXPECT_EQ(host_.StartedParameter(), &agent_);
  // The wait is recorded when it begins, which may be before or after the stop arrives.
  std::vector<std::string> calls = host_.Calls();
  const auto wait = std::find(calls.begin(), calls.end(), "WaitForThread");
  ASSERT_NE(wait, calls.end());
  EXPECT_GT(wait - calls.begin(), 3);  // after StartThread
  calls.erase(wait);
  EXPECT_EQ(calls, (std::vector<std::string>{"RegisterControlHandler morvanix", "ReportStatus",
                                             "ReportStatus", "StartThread", "ReportStatus",
                                             "ReportStatus"}));
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(24), ": Stopping the http server: ");
  EXPECT_FALSE(agent_.httpServer.IsRunning());
}

TEST_F(ServiceLifecycle, IgnoresEveryControlButStop) {
  UseServingWorker();
  StartServiceMain();
  ASSERT_TRUE(host_.WaitForState(kServiceRunning));
  ASSERT_TRUE(ServerRunning());

  for (std::uint32_t control : {kServiceControlPause, kServiceControlContinue,
                                kServiceControlInterrogate, kServiceControlShutdown, 0u, 128u}) {
    SCOPED_TRACE("control " + std::to_string(control));
    Control(control);
    EXPECT_EQ(host_.Reports().size(), 2u);
    EXPECT_TRUE(agent_.httpServer.IsRunning());
    EXPECT_FALSE(agent_.stop.StopRequested());
  }

  Control(kServiceControlStop);
  JoinServiceMain();
  ExpectReports(host_.Reports(), {kStartPending, kRunning, kStopPending, kStopped});
}

TEST_F(ServiceLifecycle, StopIsIgnoredUnlessRunning) {
  // A server that is serving, so that an acted-on stop would show.
  ASSERT_GT(agent_.httpServer.Bind("127.0.0.1", 0), 0);
  std::thread serving([this] { agent_.httpServer.Serve(); });
  ASSERT_TRUE(ServerRunning());

  for (std::uint32_t state : {0u, kServiceStartPending, kServiceStopPending, kServiceStopped}) {
    SCOPED_TRACE("state " + std::to_string(state));
    agent_.serviceStatus.dwCurrentState = state;
    Control(kServiceControlStop);
    EXPECT_TRUE(host_.Reports().empty());
    EXPECT_TRUE(host_.Calls().empty());
    EXPECT_TRUE(agent_.httpServer.IsRunning());
    EXPECT_FALSE(agent_.stop.StopRequested());
  }

  agent_.stop.RequestStop();
  serving.join();
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(ServiceLifecycle, StopsAtOnceWhenTheWorkerCannotBeStarted) {
  host_.failThreadStart = true;
  StartServiceMain();
  JoinServiceMain();

  ExpectReports(host_.Reports(), {kStartPending, kRunning, kStopped});
  EXPECT_FALSE(Contains(host_.Calls(), "WaitForThread"));
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(ServiceLifecycle, GoesOnWhenTheRunningReportFails) {
  host_.failRunningReport = true;
  std::promise<void> workerRan;
  host_.worker = [&workerRan] { workerRan.set_value(); };
  StartServiceMain();
  JoinServiceMain();

  ExpectReports(host_.Reports(), {kStartPending, kRunning, kStopped});
  EXPECT_EQ(workerRan.get_future().wait_for(0s), std::future_status::ready);
  const std::vector<std::string> calls = host_.Calls();
  EXPECT_TRUE(
      Contains(calls, "DebugString morvanix: ServiceMain: SetServiceStatus returned error"));
}

TEST_F(ServiceLifecycle, ReportsNothingWhenRegistrationFails) {
  host_.failRegistration = true;
  StartServiceMain();
  JoinServiceMain();

  EXPECT_EQ(host_.Calls(), std::vector<std::string>{"RegisterControlHandler morvanix"});
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(ServiceLifecycle, WorkerEndingByItselfStopsWithoutTheStopLine) {
  // The worker ends by itself: here, a bind that fails because the port is taken.
  LoopbackServer occupant{StopToken{}};
  const int port = occupant.Bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  host_.worker = [this, port] { agent_.httpServer.Listen("127.0.0.1", port); };
  StartServiceMain();
  JoinServiceMain();

  ExpectReports(host_.Reports(), {kStartPending, kRunning, kStopped});
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(ServiceLifecycle, StopsWithTheWorkersFailureReportedOutsideTheStatusLock) {
  struct Case {
    std::uint32_t workerCode;
    std::uint32_t exitCode;
  };
  for (const Case& c : {Case{0, 0}, Case{kWorkerEndpointLost, kErrorServiceSpecificError}}) {
    SCOPED_TRACE(c.workerCode);
    RecordingServiceHost host;
    BridgeState agent;
    RunningService service{host, agent};
    host.workerExitCode = c.workerCode;
    // Once STOPPED is reported the process may end and destroy the lock: it must be free.
    std::atomic<int> lockFreeAtStopped{-1};
    host.onReport = [&lockFreeAtStopped, &agent](const ServiceStatus& status) {
      if (status.dwCurrentState != kServiceStopped) return;
      std::async(std::launch::async, [&lockFreeAtStopped, &agent] {
        const bool free = agent.statusLock.try_lock();
        if (free) agent.statusLock.unlock();
        lockFreeAtStopped = free ? 1 : 0;
      }).wait();
    };
    ServiceMain(1, nullptr, &service);
    const std::vector<ServiceStatus> reports = host.Reports();
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2].dwCurrentState, kServiceStopped);
    EXPECT_EQ(reports[2].dwWin32ExitCode, c.exitCode);
    EXPECT_EQ(reports[2].dwServiceSpecificExitCode, c.workerCode);
    EXPECT_EQ(lockFreeAtStopped.load(), 1);
  }
}

TEST_F(ServiceLifecycle, StopBeforeTheServerListensStillEndsTheWorker) {
  std::promise<void> stopDelivered;
  std::shared_future<void> delivered = stopDelivered.get_future().share();
  host_.worker = [this, delivered] {
    delivered.wait();
    if (agent_.httpServer.Bind("127.0.0.1", 0) > 0) agent_.httpServer.Serve();
  };
  StartServiceMain();
  ASSERT_TRUE(host_.WaitForState(kServiceRunning));
  Control(kServiceControlStop);
  stopDelivered.set_value();

  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(host_.WaitForState(kServiceStopped, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  JoinServiceMain();
  ExpectReports(host_.Reports(), {kStartPending, kRunning, kStopPending, kStopped});
}

TEST_F(ServiceLifecycle, StaysStopPendingWhileAConnectionIsServed) {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  agent_.httpServer.Http().Get(
      "/lifecycle-slow", [&entered, released](const httplib::Request&, httplib::Response& res) {
        entered.set_value();
        released.wait();
        res.set_content(" ", "text/plain");
      });
  std::promise<int> bound;
  host_.worker = [this, &bound] {
    const int port = agent_.httpServer.Bind("127.0.0.1", 0);
    bound.set_value(port);
    if (port > 0) agent_.httpServer.Serve();
  };
  StartServiceMain();
  const int port = bound.get_future().get();
  ASSERT_GT(port, 0);
  ASSERT_TRUE(ServerRunning());

  std::future<int> answer = std::async(std::launch::async, [port] {
    httplib::Client client("127.0.0.1", port);
    auto result = client.Get("/lifecycle-slow");
    return result ? result->status : -1;
  });
  ASSERT_EQ(entered.get_future().wait_for(10s), std::future_status::ready);

  Control(kServiceControlStop);
  ASSERT_TRUE(host_.WaitForState(kServiceStopPending));
  EXPECT_FALSE(host_.WaitForState(kServiceStopped, 300ms));

  release.set_value();
  EXPECT_EQ(answer.get(), 200);
  JoinServiceMain();
  ExpectReports(host_.Reports(), {kStartPending, kRunning, kStopPending, kStopped});
}

TEST(ServiceProcess, ComputesTheLogPathThenHandsOverToTheDispatcher) {
  struct Case {
    std::string moduleFileName;
    std::uint32_t dispatcherError;
    std::string logPath;
    bool logOffNotice;
  };
  const std::vector<Case> cases = {
      {R"(C:\A\B\agent.exe)", 0, R"(C:\A\B/vd_service.log)", false},
      // Started from a console: the dispatcher cannot connect and its error is the exit code.
      {R"(C:\A\B\agent.exe)", kErrorFailedServiceControllerConnect, R"(C:\A\B/vd_service.log)",
       false},
      {"/opt/morvanix/morvanix-agent", 0, "/opt/morvanix/vd_service.log", false},
      {"", 0, "", true},
      {"/" + std::string(kLogPathCapacity, 'a') + "/agent", 0, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.moduleFileName.substr(0, 40));
    RecordingServiceHost host;
    host.moduleFileName = c.moduleFileName;
    host.dispatcherError = c.dispatcherError;
    SetEventLogPath(std::string(kLogPathCapacity - 1, 'x'));

    EXPECT_EQ(RunServiceProcess(host), static_cast<int>(c.dispatcherError));
    EXPECT_EQ(EventLogPath(), c.logPath);
    std::vector<std::string> expectedCalls;
    if (c.logOffNotice) {
      expectedCalls.push_back(
          "DebugString morvanix: no room for the event log path; the event log is off");
    }
    expectedCalls.push_back("StartDispatcher morvanix");
    EXPECT_EQ(host.Calls(), expectedCalls);
  }
  SetEventLogPath("");
}

}  // namespace
