#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <string>
#include <vector>

#include "adapter_simulator.h"
#include "child_process.h"
#include "post_target.h"
#include "private_bus.h"
#include "remote_stub.h"
#include "temp_folder.h"

// The real agent binary, started in a folder of its own (so its event log lands there), with
// the remote server stand-in (reached through remote_, a TLS front in the HTTPS build) and,
// when asked, the adapter simulator linked as COM3.
class AgentFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the simulator linked as COM<number>; call before StartAgent or between calls.
  void AttachAdapter(int number = 3, AdapterProfile profile = AdapterProfile::kElm);
  void StartAgent();

  // One loopback call, as the browser makes it.
  httplib::Result Get(const std::string& path);

  // The messages the stand-in received of one type (all types when empty).
  std::vector<morvanix::stub::RecordedMessage> Received(const std::string& messageType = {});
  std::string EventLog() const;

  TempFolder folder_;
  std::string folderPath_ = folder_.Path().string();
  std::string serialDir_;
  morvanix::stub::RemoteStub stub_;
  std::unique_ptr<PostTarget> remote_;
  std::unique_ptr<AdapterSimulator> adapter_;
  ChildProcess agent_;
  // The agent's system bus: by default one where nothing listens, so that no test reaches the
  // machine's own; a test with a fake Bluetooth stack sets its private bus.
  std::string systemBus_ = kNoBusAddress;
};
