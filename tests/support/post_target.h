#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "remote/connection_keeper.h"
#include "remote/remote_endpoint.h"

#if defined(MORVANIX_REMOTE_TLS) && !defined(_WIN32)
#include "test_trust.h"
#include "tls_front.h"
#define MORVANIX_TEST_POSTS_OVER_TLS 1
inline constexpr bool kPostsOverTls = true;
#else
inline constexpr bool kPostsOverTls = false;
#endif

// Where a test's posts go to reach its plain server on 127.0.0.1:plainPort. In a plain build
// that is the server itself; in the HTTPS build a TLS front relaying to it, posted to as
// "localhost" with a certificate from the CA the test process trusts (see test_trust.h:
// make the first one on the main thread, before the first post). A front that cannot start
// fails the test.
class PostTarget {
 public:
  explicit PostTarget(int plainPort) : port_(plainPort) {
#ifdef MORVANIX_TEST_POSTS_OVER_TLS
    host_ = "localhost";
    port_ = 0;
    const TestTrust& trust = ProcessTestTrust();
    if (!trust.error.empty()) {
      ADD_FAILURE() << "no trusted test CA: " << trust.error;
      return;
    }
    front_ = std::make_unique<TlsFront>(plainPort, trust.localhost);
    port_ = front_->Start();
    if (port_ == 0) ADD_FAILURE() << "the TLS front did not start: " << front_->error();
#endif
  }
  PostTarget(const PostTarget&) = delete;
  PostTarget& operator=(const PostTarget&) = delete;

  // Posts to it keep their connection between them, as the agent's do.
  morvanix::RemoteEndpoint Endpoint() const {
    morvanix::RemoteEndpoint endpoint{host_, port_};
    endpoint.keeper = keeper_.get();
    return endpoint;
  }
  const std::string& Host() const {
    return host_;
  }
  int Port() const {
    return port_;
  }

  // Closes the front, so that Port() refuses connections as a stopped server's does (the
  // test stops its server itself); nothing in a plain build.
  void Stop() {
#ifdef MORVANIX_TEST_POSTS_OVER_TLS
    if (front_) front_->Stop();
#endif
  }

 private:
  std::string host_ = "127.0.0.1";
  int port_;
  std::unique_ptr<morvanix::ConnectionKeeper> keeper_ =
      std::make_unique<morvanix::ConnectionKeeper>();
#ifdef MORVANIX_TEST_POSTS_OVER_TLS
  std::unique_ptr<TlsFront> front_;
#endif
};
