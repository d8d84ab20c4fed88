#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "agent_fixture.h"

using namespace std::chrono_literals;

namespace {

struct DiagnoseCase {
  const char* name;
  bool adapter;  // the simulator linked as COM3
  AdapterProfile profile;
  bool agentHoldsIt;  // the agent runs and has found the adapter
  bool remoteDown;    // the stand-in no longer listens
  int exitStatus;
  std::vector<std::string> lines;  // each must begin a line of the report
  std::vector<std::string> texts;  // each must appear somewhere in it
};

void PrintTo(const DiagnoseCase& c, std::ostream* out) {
  *out << c.name;
}

class Diagnose : public AgentFixture, public ::testing::WithParamInterface<DiagnoseCase> {
 protected:
  // The program runs from the agent's folder, as it is installed, so it finds the event log.
  int RunDiagnose(std::string& report) {
    const std::string binary = folderPath_ + "/morvanix-diagnose";
    std::filesystem::copy_file(MORVANIX_DIAGNOSE_BINARY, binary);
    ChildProcess diagnose;
    const std::string output = folderPath_ + "/diagnose.out";
    EXPECT_TRUE(diagnose.Start(binary, {},
                               {{"MORVANIX_SERIAL_DIR", serialDir_},
                                {"MORVANIX_REMOTE_HOST", remote_->Host()},
                                {"MORVANIX_REMOTE_PORT", std::to_string(remote_->Port())},
                                {"DBUS_SYSTEM_BUS_ADDRESS", systemBus_}},
                               output));
    const int status = diagnose.Wait(120s);
    report = ReadFile(output);
    return status;
  }
};

// The handshake line of a reachable server: made and checked in the HTTPS build.
const std::string kTlsLine =
    kPostsOverTls ? "ok    TLS: handshake done (" : "note  TLS: off in this build";

TEST_P(Diagnose, ReportsWhatWorksAndWhatDoesNot) {
  const DiagnoseCase& c = GetParam();
  if (c.adapter) AttachAdapter(3, c.profile);
  if (c.agentHoldsIt) {
    StartAgent();
    ASSERT_TRUE(Get("/AC/diag"));
    ASSERT_TRUE(stub_.WaitForMessages(2, 30s));
  }
  if (c.remoteDown) {
    stub_.Stop();
    remote_->Stop();
  }

  std::string report;
  EXPECT_EQ(RunDiagnose(report), c.exitStatus) << report;
  if (std::getenv("MORVANIX_SHOW_REPORT") != nullptr) std::cout << report;
  for (const std::string& line : c.lines) {
    EXPECT_TRUE(report.starts_with(line) || report.find("\n" + line) != std::string::npos)
        << "no line begins with: " << line << "\n"
        << report;
  }
  for (const std::string& text : c.texts) {
    EXPECT_NE(report.find(text), std::string::npos) << "missing: " << text << "\n" << report;
  }
  // Plain ASCII, a verdict first on every line, the summary last.
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; start < report.size(); start = end + 1) {
    end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    lines.push_back(report.substr(start, end - start));
  }
  ASSERT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    EXPECT_TRUE(line.starts_with("ok    ") || line.starts_with("FAIL  ") ||
                line.starts_with("note  "))
        << line;
    for (char ch : line) EXPECT_TRUE(ch >= 0x20 && ch < 0x7F) << line;
  }
  EXPECT_TRUE(lines.back().find(c.exitStatus == 0 ? "Ready: " : "Not ready: ") != std::string::npos)
      << lines.back();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Diagnose,
    ::testing::Values(
        DiagnoseCase{"AdapterAndServer",
                     true,
                     AdapterProfile::kElm,
                     false,
                     false,
                     0,
                     {"ok    COM3 (", "ok    remote server 127.0.0.1 port ",
                      "note  loopback port 127.0.0.1:8070: free", kTlsLine},
                     {"adapter \"ELM327 v1.5\" at 38400 baud", "; answered \"ATZ\\r",
                      "Ready: the adapter answers on COM3"}},
        DiagnoseCase{"HeldByTheRunningAgent",
                     true,
                     AdapterProfile::kElm,
                     true,
                     false,
                     1,
                     {"ok    loopback port 127.0.0.1:8070: taken by morvanix-agent (process ",
                      "ok    event log ", "note  log: "},
                     {"COM3 (", ": busy (held by another program, probably the running agent)",
                      "COM3 is busy"}},
        DiagnoseCase{"NoDevice",
                     false,
                     AdapterProfile::kElm,
                     false,
                     false,
                     1,
                     {"FAIL  serial devices: none present"},
                     {"Not ready: no adapter on the serial side"}},
        DiagnoseCase{"SilentDevice",
                     true,
                     AdapterProfile::kSilent,
                     false,
                     false,
                     1,
                     {"note  COM3 ("},
                     {": silent", "no adapter answers on the serial side"}},
        DiagnoseCase{
            "OtherSpeed",
            true,
            AdapterProfile::kBaud9600,
            false,
            false,
            0,
            {"ok    COM3 ("},
            {"adapter \"ELM327 v1.5\" at 9600 baud", "Ready: the adapter answers on COM3"}},
        DiagnoseCase{
            "EchoLeftOff",
            true,
            AdapterProfile::kEchoOff,
            false,
            false,
            0,
            {"ok    COM3 ("},
            {"adapter \"ELM327 v1.5\" at 38400 baud", "Ready: the adapter answers on COM3"}},
        DiagnoseCase{"RemoteDown",
                     true,
                     AdapterProfile::kElm,
                     false,
                     true,
                     1,
                     {"FAIL  remote server 127.0.0.1 port "},
                     {": no TCP connection: Connection refused", "cannot be reached."}}),
    [](const ::testing::TestParamInfo<DiagnoseCase>& info) {
      return std::string(info.param.name);
    });

}  // namespace
