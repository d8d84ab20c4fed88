#include "remote/agent_transport.h"

#include <httplib.h>

#include <cstdint>

#include "remote/client_socket.h"
#include "remote/deadline_stream.h"
#ifdef MORVANIX_REMOTE_TLS
#include "remote/tls_session.h"
#endif

namespace morvanix {

namespace {

constexpr const char* kAgentPath = "/DEV/Agent.php";
constexpr const char* kFormField = "agent_message";
constexpr const char* kFormContentType = "application/x-www-form-urlencoded";

// The encoding of every byte value, worked out once: a table lookup per byte instead of a
// number conversion.
struct ByteCode {
  char text[5];  // at most "-128n"
  std::uint8_t length;
};

struct ByteCodes {
  ByteCode codes[256];
  constexpr ByteCodes() : codes{} {
    for (int byte = 0; byte < 256; ++byte) {
      ByteCode& code = codes[byte];
      int value = byte < 128 ? byte : byte - 256;
      int length = 0;
      if (value < 0) {
        code.text[length++] = '-';
        value = -value;
      }
      char digits[3] = {};
      int count = 0;
      do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
      } while (value > 0);
      while (count > 0) code.text[length++] = digits[--count];
      code.text[length++] = 'n';
      code.length = static_cast<std::uint8_t>(length);
    }
  }
};

constexpr ByteCodes kByteCodes;

// The library's client over the agent's own connection. Its own time-outs restart with every
// byte, and its connect and sends wait in the kernel where nothing can reach them, so a
// server that trickles its reply, never takes the connection or never reads would hold the
// calling thread without end; here every wait is a slice, and the deadline and a stop are
// looked at between slices.
class DeadlineClient final : public httplib::ClientImpl {
 public:
  DeadlineClient(const RemoteEndpoint& remote, DeadlineStream::Clock::time_point deadline)
      : httplib::ClientImpl(remote.host, remote.port), remote_(remote) {
    limits_.readDeadline = deadline;
    limits_.writeDeadline = deadline;
    limits_.readTimeout = std::chrono::seconds(kAgentTimeoutSeconds);
    limits_.writeTimeout = std::chrono::seconds(kAgentTimeoutSeconds);
    limits_.stopped = remote.stopped;
    limits_.stopWrites = true;
  }

 private:
  bool create_and_connect_socket(Socket& socket, httplib::Error& error) override {
    socket.sock = ConnectWithin(remote_.host, remote_.port, limits_.readDeadline, limits_.stopped);
    if (socket.sock == INVALID_SOCKET) {
      error = httplib::Error::Connection;
      return false;
    }
#ifdef MORVANIX_REMOTE_TLS
    // No fallback to plain HTTP: a failed handshake is a failed post.
    session_ = TlsSession::Open(socket.sock, remote_.host, limits_.readDeadline, limits_.stopped);
    if (session_ == nullptr) {
      error = httplib::Error::SSLConnection;
      return false;  // the library closes the socket
    }
#endif
    return true;
  }

  bool process_socket(const Socket& socket,
                      std::function<bool(httplib::Stream&)> callback) override {
#ifdef MORVANIX_REMOTE_TLS
    (void)socket;
    if (session_ == nullptr) return false;
    TlsStream secure(*session_);
    DeadlineStream timed(secure, limits_);
#else
    ClientSocketStream plain(socket.sock);
    DeadlineStream timed(plain, limits_);
#endif
    return callback(timed);
  }

#ifdef MORVANIX_REMOTE_TLS
  // Called by the library before it closes the socket.
  void shutdown_ssl(Socket&, bool) override {
    session_.reset();
  }

  std::unique_ptr<TlsSession> session_;
#endif
  const RemoteEndpoint& remote_;
  DeadlineStream::Limits limits_;
};

}  // namespace

std::string EncodeDecimalBytes(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 4);
  for (char byte : text) {
    const ByteCode& code = kByteCodes.codes[static_cast<unsigned char>(byte)];
    out.append(code.text, code.length);
  }
  return out;
}

std::string PostAgentMessage(const RemoteEndpoint& remote, const std::string& encoded) {
  return PostAgentMessage(remote, encoded, std::chrono::seconds(kAgentTimeoutSeconds));
}

std::string PostAgentMessage(const RemoteEndpoint& remote, const std::string& encoded,
                             std::chrono::steady_clock::duration limit) {
  try {
    DeadlineClient client(remote, DeadlineStream::Clock::now() + limit);

    // The same request a form post of one field makes; built by hand so that the reply can
    // be received through a size-checked sink instead of an unbounded string.
    httplib::Request request;
    request.method = "POST";
    request.path = kAgentPath;
    request.set_header("Content-Type", kFormContentType);
#ifdef MORVANIX_REMOTE_TLS
    // The library names the port in Host unless it is the plain-HTTP default.
    if (remote.port == 443) request.set_header("Host", remote.host);
#endif
    request.body.reserve(encoded.size() + 16);
    request.body.append(kFormField).append("=").append(encoded);

    // A non-200 reply is discarded anyway, so its body is not even read.
    request.response_handler = [](const httplib::Response& response) {
      return response.status == 200;
    };
    std::string reply;
    request.content_receiver = [&reply](const char* data, std::size_t size, std::uint64_t,
                                        std::uint64_t) {
      if (size > kMaxAgentReplyBytes - reply.size()) return false;
      reply.append(data, size);
      return true;
    };

    httplib::Response response;
    httplib::Error error = httplib::Error::Success;
    const bool sent = client.send(request, response, error);
    if (!sent || response.status != 200) return {};
    return reply;
  } catch (...) {
    return {};
  }
}

}  // namespace morvanix
