#include "tls_front.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSliceMs = 100;
// A server that takes no connection, or a client that never finishes its handshake, is given
// up on after this long.
constexpr auto kStepBound = std::chrono::seconds(10);

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Bytes on their way from one side to the other; appended at the end, taken from the front.
class RelayBuffer {
 public:
  char* Begin() { return data_ + start_; }
  char* End() { return data_ + end_; }
  std::size_t Size() const { return end_ - start_; }
  std::size_t Space() const { return sizeof data_ - end_; }
  void Added(std::size_t count) { end_ += count; }
  void Taken(std::size_t count) {
    start_ += count;
    if (start_ == end_) start_ = end_ = 0;
  }

 private:
  char data_[TlsFront::kRelayBytes];
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

// How a TLS call that did not go through wants to go on.
enum class TlsWait { kNone, kRead, kWrite, kEnd, kFailed };

TlsWait WaitOf(SSL* ssl, int result) {
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
      return TlsWait::kRead;
    case SSL_ERROR_WANT_WRITE:
      return TlsWait::kWrite;
    case SSL_ERROR_ZERO_RETURN:
      return TlsWait::kEnd;
    default:
      return TlsWait::kFailed;
  }
}

short EventsOf(TlsWait wait) {
  return wait == TlsWait::kRead ? POLLIN : wait == TlsWait::kWrite ? POLLOUT : 0;
}

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

}  // namespace

TlsFront::TlsFront(int upstreamPort, TestCertificate certificate, int tickets)
    : upstreamPort_(upstreamPort), certificate_(std::move(certificate)), tickets_(tickets) {}

TlsFront::~TlsFront() {
  Stop();
}

int TlsFront::Start() {
  OPENSSL_init_ssl(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
  context_ = SSL_CTX_new(TLS_server_method());
  if (context_ == nullptr) {
    error_ = "no TLS context";
    return 0;
  }
  SSL_CTX_set_min_proto_version(context_, TLS1_2_VERSION);
  SSL_CTX_set_num_tickets(context_, static_cast<std::size_t>(tickets_));
  SSL_CTX_set_options(context_, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  SSL_CTX_set_mode(context_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  BIO* certificateText = BIO_new_mem_buf(certificate_.certificatePem.data(),
                                         static_cast<int>(certificate_.certificatePem.size()));
  BIO* keyText =
      BIO_new_mem_buf(certificate_.keyPem.data(), static_cast<int>(certificate_.keyPem.size()));
  X509* x509 = PEM_read_bio_X509(certificateText, nullptr, nullptr, nullptr);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keyText, nullptr, nullptr, nullptr);
  const bool loaded =
      x509 != nullptr && key != nullptr && SSL_CTX_use_certificate(context_, x509) == 1 &&
      SSL_CTX_use_PrivateKey(context_, key) == 1 && SSL_CTX_check_private_key(context_) == 1;
  X509_free(x509);
  EVP_PKEY_free(key);
  BIO_free(certificateText);
  BIO_free(keyText);
  if (!loaded) {
    error_ = "the certificate or its key did not load";
    return 0;
  }

  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (wake_ < 0 || listener_ < 0) {
    error_ = std::string("socket: ") + std::strerror(errno);
    return 0;
  }
  // Inherited by every accepted connection: what a client can send ahead stays small.
  ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error_ = std::string("listen: ") + std::strerror(errno);
    return 0;
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return port_;
}

void TlsFront::Stop() {
  stopping_ = true;
  if (wake_ >= 0) {
    const std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);  // stays readable: every wait ends at once
  }
  if (acceptor_.joinable()) acceptor_.join();
  for (auto& connection : connections_) connection->thread.join();
  connections_.clear();
  if (listener_ >= 0) ::close(listener_);
  if (wake_ >= 0) ::close(wake_);
  listener_ = wake_ = -1;
  SSL_CTX_free(context_);
  context_ = nullptr;
}

bool TlsFront::Wait(int a, short aEvents, int b, short bEvents) {
  pollfd waits[3] = {
      {wake_, POLLIN, 0}, {aEvents ? a : -1, aEvents, 0}, {bEvents ? b : -1, bEvents, 0}};
  ::poll(waits, 3, kSliceMs);
  return !stopping_;
}

void TlsFront::AcceptLoop() {
  // OpenSSL writes to its sockets with write(): a client gone raises SIGPIPE in the thread
  // that writes. Blocked here and so in every relay thread, it leaves EPIPE, a closed client.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  while (!stopping_) {
    connections_.remove_if([](const std::unique_ptr<Connection>& connection) {
      if (!connection->done) return false;
      connection->thread.join();
      return true;
    });
    if (connections_.size() >= kMaxConnections) {
      Wait(-1, 0, -1, 0);  // the backlog holds the next ones meanwhile
      continue;
    }
    if (!Wait(listener_, POLLIN, -1, 0)) break;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) continue;
    connections_.push_back(std::make_unique<Connection>());
    Connection* connection = connections_.back().get();
    connection->thread = std::thread([this, client, connection] {
      Relay(client);
      ::close(client);
      connection->done = true;
    });
  }
}

int TlsFront::ConnectUpstream() {
  const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (upstream < 0) return -1;
  ::setsockopt(upstream, SOL_SOCKET, SO_SNDBUF, &kSocketBufferBytes, sizeof kSocketBufferBytes);
  const int yes = 1;
  ::setsockopt(upstream, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  const sockaddr_in address = Loopback(upstreamPort_);
  if (::connect(upstream, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return upstream;
  }
  if (errno == EINPROGRESS) {
    const auto end = Clock::now() + kStepBound;
    while (Clock::now() < end && Wait(upstream, POLLOUT, -1, 0)) {
      pollfd done{upstream, POLLOUT, 0};
      if (::poll(&done, 1, 0) != 1) continue;
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(upstream, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
        return upstream;
      }
      break;
    }
  }
  ::close(upstream);
  return -1;
}

void TlsFront::Relay(int client) {
  const int yes = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  const int upstream = ConnectUpstream();
  if (upstream < 0) return;  // the client's handshake meets a closed connection
  SSL* ssl = SSL_new(context_);
  if (ssl == nullptr || SSL_set_fd(ssl, client) != 1) {
    SSL_free(ssl);
    ::close(upstream);
    return;
  }

  bool open = false;
  const auto end = Clock::now() + kStepBound;
  while (Clock::now() < end) {
    ERR_clear_error();
    const int result = SSL_accept(ssl);
    if (result == 1) {
      open = true;
      break;
    }
    const TlsWait wait = WaitOf(ssl, result);
    if (EventsOf(wait) == 0 || !Wait(client, EventsOf(wait), -1, 0)) break;
  }

  RelayBuffer toUpstream;
  RelayBuffer toClient;
  bool clientEnded = false;
  bool upstreamEnded = false;
  bool upstreamShut = false;
  bool upstreamReset = false;
  int pendingWrite = 0;  // an SSL_write that has to be repeated with the same length
  while (open && !stopping_) {
    bool moved = false;
    short clientEvents = 0;
    short upstreamEvents = 0;

    if (!clientEnded && toUpstream.Space() > 0) {
      ERR_clear_error();
      const int got = SSL_read(ssl, toUpstream.End(), static_cast<int>(toUpstream.Space()));
      const TlsWait wait = got > 0 ? TlsWait::kNone : WaitOf(ssl, got);
      if (got > 0) toUpstream.Added(static_cast<std::size_t>(got));
      if (wait == TlsWait::kFailed) break;
      clientEnded = wait == TlsWait::kEnd;
      moved = got > 0 || clientEnded;
      clientEvents |= EventsOf(wait);
    }
    if (toUpstream.Size() > 0) {
      const ssize_t sent = ::send(upstream, toUpstream.Begin(), toUpstream.Size(), MSG_NOSIGNAL);
      if (sent < 0 && !WouldBlock()) break;
      if (sent > 0) toUpstream.Taken(static_cast<std::size_t>(sent));
      moved = moved || sent > 0;
      if (sent <= 0) upstreamEvents |= POLLOUT;
    } else if (clientEnded && !upstreamShut) {
      ::shutdown(upstream, SHUT_WR);
      upstreamShut = true;
    }

    if (!upstreamEnded && toClient.Space() > 0) {
      const ssize_t got = ::recv(upstream, toClient.End(), toClient.Space(), 0);
      if (got > 0) toClient.Added(static_cast<std::size_t>(got));
      upstreamEnded = got == 0 || (got < 0 && !WouldBlock());
      upstreamReset = got < 0 && errno == ECONNRESET;
      moved = moved || got > 0 || upstreamEnded;
      if (got < 0 && !upstreamEnded) upstreamEvents |= POLLIN;
    }
    if (toClient.Size() > 0) {
      const int length = pendingWrite > 0 ? pendingWrite : static_cast<int>(toClient.Size());
      ERR_clear_error();
      const int sent = SSL_write(ssl, toClient.Begin(), length);
      const TlsWait wait = sent > 0 ? TlsWait::kNone : WaitOf(ssl, sent);
      if (wait == TlsWait::kFailed || wait == TlsWait::kEnd) break;
      pendingWrite = sent > 0 ? 0 : length;
      if (sent > 0) toClient.Taken(static_cast<std::size_t>(sent));
      moved = moved || sent > 0;
      clientEvents |= EventsOf(wait);
    } else if (upstreamEnded) {
      if (upstreamReset) {
        // Passed on as a reset: a client must not take the server's reset for its close.
        const linger abort{1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        break;
      }
      ERR_clear_error();
      SSL_shutdown(ssl);  // close_notify, if the socket takes it at once
      break;
    }

    if (!moved) Wait(client, clientEvents, upstream, upstreamEvents);
  }
  SSL_free(ssl);
  ::close(upstream);
}
