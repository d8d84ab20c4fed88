#include "remote/agent_transport.h"

#include <httplib.h>

#include <algorithm>
#include <cstdint>

#include "remote/deadline_stream.h"

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

// The library's client with the whole exchange held to one deadline. Its own time-outs
// restart with every byte, so a server that trickles its reply would hold the calling
// thread without end; here every read and write also stops at the deadline.
class DeadlineClient final : public httplib::ClientImpl {
 public:
  DeadlineClient(const std::string& host, int port, DeadlineStream::Clock::time_point deadline)
      : httplib::ClientImpl(host, port), deadline_(deadline) {}

 private:
  bool process_socket(const Socket& socket,
                      std::function<bool(httplib::Stream&)> callback) override {
    DeadlineStream::Limits limits;
    limits.readDeadline = deadline_;
    limits.writeDeadline = deadline_;
    limits.readTimeout = DeadlineStream::Timeout(read_timeout_sec_, read_timeout_usec_);
    limits.writeTimeout = DeadlineStream::Timeout(write_timeout_sec_, write_timeout_usec_);
    return ProcessSocketWithin(socket.sock, limits, callback);
  }

  DeadlineStream::Clock::time_point deadline_;
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
    const auto deadline = DeadlineStream::Clock::now() + limit;
    DeadlineClient client(remote.host, remote.port, deadline);
    // Connecting has its own wait, which the deadline cannot reach: it gets the whole limit
    // at most, and what it uses is gone from the rest of the exchange.
    client.set_connection_timeout(std::chrono::duration_cast<std::chrono::microseconds>(
        std::min<std::chrono::steady_clock::duration>(limit,
                                                      std::chrono::seconds(kAgentTimeoutSeconds))));
    // Without these the library's own short defaults would cut a slow server off, and no
    // bound at all would let a hung server hold the calling thread forever.
    client.set_write_timeout(kAgentTimeoutSeconds);
    client.set_read_timeout(kAgentTimeoutSeconds);

    // The same request a form post of one field makes; built by hand so that the reply can
    // be received through a size-checked sink instead of an unbounded string.
    httplib::Request request;
    request.method = "POST";
    request.path = kAgentPath;
    request.set_header("Content-Type", kFormContentType);
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
