// The TLS front's own bounds, which the HTTPS build's deadline tests rest on: a server that
// never takes the connection leaves the handshake unanswered, one that never reads stalls
// the client's sends after a few hundred KiB, and a stop ends every connection at once.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>

#include <chrono>
#include <string>

#include "raw_http.h"
#include "stuck_server.h"
#include "test_trust.h"
#include "tls_front.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A TLS client on a non-blocking socket that trusts only the given CA.
class Client {
 public:
  Client(int port, const TestCertificate& ca) : connection_(port) {
    context_ = SSL_CTX_new(TLS_client_method());
    BIO* text =
        BIO_new_mem_buf(ca.certificatePem.data(), static_cast<int>(ca.certificatePem.size()));
    X509* caCertificate = PEM_read_bio_X509(text, nullptr, nullptr, nullptr);
    X509_STORE_add_cert(SSL_CTX_get_cert_store(context_), caCertificate);
    X509_free(caCertificate);
    BIO_free(text);
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    ssl_ = SSL_new(context_);
    SSL_set1_host(ssl_, "localhost");
    const int fd = connection_.Descriptor();
    // Its own send buffer fixed and small, so that what the front takes shows.
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &TlsFront::kSocketBufferBytes,
                 sizeof TlsFront::kSocketBufferBytes);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    SSL_set_fd(ssl_, fd);
  }
  ~Client() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
  }

  // True once the handshake is done, false when it fails or `limit` passes.
  bool Handshake(Clock::duration limit) {
    return Until(limit, [this] { return SSL_connect(ssl_); }) > 0;
  }

  // Writes up to `bytes` until the front takes nothing for `quiet`; what it took.
  std::size_t SendUntilStalled(std::size_t bytes, Clock::duration quiet) {
    const std::string block(16 * 1024, 'x');
    std::size_t sent = 0;
    while (sent < bytes) {
      const int wrote = Until(quiet, [&] { return SSL_write(ssl_, block.data(), block.size()); });
      if (wrote <= 0) break;
      sent += static_cast<std::size_t>(wrote);
    }
    return sent;
  }

  // True when the connection ends (or fails) within `limit`.
  bool EndsWithin(Clock::duration limit) {
    char byte;
    return Until(limit, [&] { return SSL_read(ssl_, &byte, 1); }) <= 0 && !timedOut_;
  }

 private:
  // Repeats the call while it waits for the socket, for at most `limit`: its last result.
  template <typename Call>
  int Until(Clock::duration limit, Call call) {
    const auto end = Clock::now() + limit;
    timedOut_ = false;
    for (;;) {
      const int result = call();
      if (result > 0) return result;
      const int error = SSL_get_error(ssl_, result);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return result;
      if (Clock::now() >= end) {
        timedOut_ = true;
        return result;
      }
      pollfd wait{connection_.Descriptor(),
                  static_cast<short>(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
      ::poll(&wait, 1, 20);
    }
  }

  RawConnection connection_;
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  bool timedOut_ = false;
};

TEST(TlsFront, HoldsToItsBoundsAndStopsEveryConnectionAtOnce) {
  struct Case {
    const char* name;
    Peer peer;
    std::size_t offered;  // bytes the client tries to send after the handshake
    std::size_t leastTaken;
    std::size_t mostTaken;
  };
  const Case cases[] = {
      {"never accepts the connection", Peer::kNeverAccepts, 0, 0, 0},
      // Three 64 KiB socket buffers (the client's and two of the front's, each doubled by the
      // kernel), the relay buffer and the server's 4 KiB: far below what the client offers.
      {"never reads", Peer::kNeverReads, 8u << 20, 1, 1u << 20},
      {"reads and never answers", Peer::kNeverAnswers, 64 * 1024, 64 * 1024, 64 * 1024},
  };
  // The client's alert on a connection the stop ended would raise SIGPIPE; the agent's own
  // process ignores it too.
  ::signal(SIGPIPE, SIG_IGN);
  const TestAuthority ca("front test CA");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StuckServer server(c.peer);
    ASSERT_GT(server.Port(), 0);
    TlsFront front(server.Port(), ca.Issue("localhost", "localhost", 2));
    ASSERT_GT(front.Start(), 0) << front.error();
    Client client(front.port(), ca.Certificate());

    // The handshake waits for the server's connection.
    EXPECT_EQ(client.Handshake(1s), c.peer != Peer::kNeverAccepts);
    if (c.offered > 0) {
      const std::size_t taken = client.SendUntilStalled(c.offered, 500ms);
      EXPECT_GE(taken, c.leastTaken);
      EXPECT_LE(taken, c.mostTaken);
    }

    const auto started = Clock::now();
    front.Stop();
    EXPECT_LT(Clock::now() - started, 1s);
    EXPECT_TRUE(client.EndsWithin(1s)) << "the connection outlived the stop";
  }
}

}  // namespace
