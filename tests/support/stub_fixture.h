#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "post_target.h"
#include "remote/remote_endpoint.h"
#include "remote_stub.h"

namespace morvanix {

// Runs the remote server stand-in in-process on a free loopback port for one test; posts
// reach it through target_ (a TLS front in the HTTPS build).
class AgentStubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = stub_.Start("127.0.0.1", 0);
    ASSERT_GT(port_, 0) << "the stand-in could not listen";
    target_ = std::make_unique<PostTarget>(port_);
  }
  void TearDown() override {
    target_.reset();
    stub_.Stop();
  }

  RemoteEndpoint remote() const { return target_->Endpoint(); }

  // The one message the stand-in received, which must have passed its own reader.
  morvanix::stub::RecordedMessage OnlyMessage() {
    const auto messages = stub_.Messages();
    EXPECT_EQ(messages.size(), 1u);
    if (messages.empty()) return {};
    EXPECT_EQ(messages.front().error, "") << messages.front().text;
    return messages.front();
  }

  morvanix::stub::RemoteStub stub_;
  int port_ = -1;  // the stand-in's own, for its control API
  std::unique_ptr<PostTarget> target_;
};

}  // namespace morvanix
