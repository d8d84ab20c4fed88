// The HTTPS build against the stand-in's HTTPS listener, with certificates made for the test
// and its CA trusted through the system bundle (test_trust.h: a copy with the CA appended,
// bind-mounted over it in a mount namespace of the test's own, which the agent inherits). Only a
// certificate that chains to a trusted CA and names the host in its alternative names lets
// a message through; every other one fails the post, writes one debug line, and the agent
// answers and runs on.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "child_process.h"
#include "temp_folder.h"
#include "test_trust.h"

using namespace std::chrono_literals;

namespace {

// The text after prefix on the first line of file that has it, waiting up to 10 s.
std::string WaitForLine(const std::string& file, const std::string& prefix) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = ReadFile(file);
    const std::size_t at = text.find(prefix);
    if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
      return text.substr(at + prefix.size(), text.find('\n', at) - at - prefix.size());
    }
    std::this_thread::sleep_for(20ms);
  }
  return {};
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

class RemoteTls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { folder_ = new TempFolder(); }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, for a mount namespace";
    ASSERT_EQ(ProcessTestTrust().error, "") << "could not make the certificates or trust the CA";
  }

  void TearDown() override {
    for (ChildProcess* child : {&agent_, &stub_}) {
      if (child->Running()) {
        child->Signal(SIGTERM);
        child->Wait(20s);
      }
    }
  }

  // A server certificate in a folder of its own, as the stand-in reads it: signed by the
  // trusted test CA ("ca"), by a CA nobody trusts ("stranger") or by its own key ("self").
  std::string MakeCertificate(const std::string& name, const std::string& issuer,
                              const std::string& commonName, const std::string& altName, int days) {
    static const TestAuthority stranger("stranger");
    const TestCertificate made =
        issuer == "self"       ? SelfSignedCertificate(commonName, altName)
        : issuer == "stranger" ? stranger.Issue(commonName, altName, days)
                               : ProcessTestTrust().authority->Issue(commonName, altName, days);
    EXPECT_FALSE(made.Empty());
    const std::string dir = folder_->Path().string() + "/" + name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir + "/cert.pem") << made.certificatePem;
    std::ofstream(dir + "/key.pem") << made.keyPem;
    return dir;
  }

  // The stand-in with its HTTPS listener on this certificate, and the agent posting to it as
  // "localhost"; false when either did not come up.
  bool Start(const std::string& certificateDir) {
    const std::string dir = certificateDir;
    if (!stub_.Start(MORVANIX_REMOTE_STUB_BINARY,
                     {"--host", "127.0.0.1", "--port", "0", "--tls-port", "0", "--tls-cert",
                      dir + "/cert.pem", "--tls-key", dir + "/key.pem"},
                     {}, dir + "/stub.out")) {
      return false;
    }
    const std::string https = WaitForLine(dir + "/stub.out", "listening on https://127.0.0.1:");
    httpsPort_ = https;
    const std::string plain = WaitForLine(dir + "/stub.out", "listening on 127.0.0.1:");
    if (https.empty() || plain.empty()) return false;
    controlPort_ = std::stoi(plain);
    std::filesystem::copy_file(MORVANIX_AGENT_BINARY, dir + "/morvanix-agent");
    agentOutput_ = dir + "/agent.out";
    if (!agent_.Start(dir + "/morvanix-agent", {},
                      {{"MORVANIX_SERIAL_DIR", dir},
                       {"MORVANIX_REMOTE_HOST", "localhost"},
                       {"MORVANIX_REMOTE_PORT", https}},
                      agentOutput_)) {
      return false;
    }
    return WaitForLoopbackPort(8070, 20s);
  }

  // The agent check's answer for session ssid, and how many messages of it arrived.
  std::size_t CheckAndCount(const std::string& ssid) {
    httplib::Client agent("127.0.0.1", 8070);
    agent.set_read_timeout(60, 0);
    auto answer = agent.Get("/AC/" + ssid);
    EXPECT_TRUE(answer);
    if (answer) {
      EXPECT_EQ(answer->body, " ");
    }
    httplib::Client control("127.0.0.1", controlPort_);
    auto messages = control.Get("/control/messages");
    if (!messages || messages->status != 200) return 0;
    std::size_t count = 0;
    for (const auto& message : nlohmann::json::parse(messages->body)) {
      count += message.value("ssid", "") == ssid;
    }
    return count;
  }

  static TempFolder* folder_;
  ChildProcess stub_;
  ChildProcess agent_;
  int controlPort_ = 0;
  std::string httpsPort_;
  std::string agentOutput_;
};

TempFolder* RemoteTls::folder_ = nullptr;

TEST_F(RemoteTls, OnlyAServerProvenForTheHostGetsMessages) {
  struct Case {
    const char* name;
    const char* issuer;
    const char* commonName;
    const char* altName;
    int days;
    const char* reason;  // the debug line's reason; empty when the post goes through
  };
  const Case cases[] = {
      {"good", "ca", "localhost", "localhost", 2, ""},
      {"self_signed", "self", "localhost", "localhost", 2, "self-signed certificate"},
      {"unknown_ca", "stranger", "localhost", "localhost", 2, "unable to get local issuer"},
      {"expired", "ca", "localhost", "localhost", -1, "certificate has expired"},
      {"other_host", "ca", "other.example", "other.example", 2, "hostname mismatch"},
      {"common_name_only", "ca", "localhost", "other.example", 2, "hostname mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    ASSERT_TRUE(Start(MakeCertificate(c.name, c.issuer, c.commonName, c.altName, c.days)));
    const bool delivered = std::string(c.reason).empty();
    // Each check posts AGENT_CHECK; no adapter is attached, so nothing more.
    EXPECT_EQ(CheckAndCount(c.name), delivered ? 1u : 0u);
    EXPECT_EQ(CheckAndCount(c.name), delivered ? 2u : 0u);
    EXPECT_TRUE(agent_.Running());
    const std::string output = ReadFile(agentOutput_);
    EXPECT_EQ(Count(output, "morvanix: TLS handshake with localhost failed: "), delivered ? 0u : 1u)
        << output;
    if (!delivered) {
      EXPECT_NE(output.find(c.reason), std::string::npos) << output;
    }
    // The diagnosis makes the same handshake over its one connection and names the outcome.
    const std::string dir = folder_->Path().string() + "/" + c.name;
    std::filesystem::create_directories(dir + "/serial");
    ChildProcess diagnose;
    ASSERT_TRUE(diagnose.Start(MORVANIX_DIAGNOSE_BINARY, {},
                               {{"MORVANIX_SERIAL_DIR", dir + "/serial"},
                                {"MORVANIX_REMOTE_HOST", "localhost"},
                                {"MORVANIX_REMOTE_PORT", httpsPort_}},
                               dir + "/diagnose.out"));
    EXPECT_EQ(diagnose.Wait(60s), 1);  // no adapter, whatever the server
    const std::string report = ReadFile(dir + "/diagnose.out");
    const std::string expected = delivered
                                     ? "ok    TLS: handshake done (TLSv1."
                                     : std::string("FAIL  TLS: handshake failed: ") + c.reason;
    EXPECT_NE(report.find(expected), std::string::npos) << report;
    EXPECT_NE(report.find(delivered ? "server localhost:" + httpsPort_ + " is reachable"
                                    : "cannot be reached"),
              std::string::npos)
        << report;
  }
}

}  // namespace
