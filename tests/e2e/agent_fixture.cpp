#include "agent_fixture.h"

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;

void AgentFixture::SetUp() {
  serialDir_ = folderPath_ + "/serial";
  std::filesystem::create_directory(serialDir_);
  ASSERT_GT(stub_.Start("127.0.0.1", 0), 0);
  remote_ = std::make_unique<PostTarget>(stub_.port());
}

void AgentFixture::TearDown() {
  if (agent_.Running()) {
    agent_.Signal(SIGTERM);
    EXPECT_EQ(agent_.Wait(20s), 0) << "the agent did not stop cleanly";
  }
  const std::string output = ReadFile(folderPath_ + "/agent.out");
  EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
  if (adapter_) adapter_->Stop();
  remote_.reset();
  stub_.Stop();
}

void AgentFixture::AttachAdapter(int number, AdapterProfile profile) {
  adapter_ = std::make_unique<AdapterSimulator>(
      FastAdapterSimOptions(profile, serialDir_ + "/COM" + std::to_string(number)));
  ASSERT_TRUE(adapter_->Start()) << adapter_->error();
}

void AgentFixture::StartAgent() {
  const std::string binary = folderPath_ + "/morvanix-agent";
  std::filesystem::copy_file(MORVANIX_AGENT_BINARY, binary);
  ASSERT_TRUE(agent_.Start(binary, {},
                           {{"MORVANIX_SERIAL_DIR", serialDir_},
                            {"MORVANIX_REMOTE_HOST", remote_->Host()},
                            {"MORVANIX_REMOTE_PORT", std::to_string(remote_->Port())},
                            {"DBUS_SYSTEM_BUS_ADDRESS", systemBus_}},
                           folderPath_ + "/agent.out"));
  ASSERT_TRUE(WaitForLoopbackPort(8070, 20s)) << ReadFile(folderPath_ + "/agent.out");
  // An agent that could not bind ends at once; then the port belongs to someone else.
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(agent_.Running()) << "127.0.0.1:8070 is taken by another process";
}

httplib::Result AgentFixture::Get(const std::string& path) {
  httplib::Client client("127.0.0.1", 8070);
  client.set_read_timeout(300, 0);  // a whole repeated series may run before the answer
  return client.Get(path.c_str());
}

std::vector<morvanix::stub::RecordedMessage> AgentFixture::Received(
    const std::string& messageType) {
  std::vector<morvanix::stub::RecordedMessage> selected;
  for (auto& message : stub_.Messages()) {
    if (messageType.empty() || message.messageType == messageType) selected.push_back(message);
  }
  return selected;
}

std::string AgentFixture::EventLog() const {
  return ReadFile(folderPath_ + "/vd_service.log");
}
