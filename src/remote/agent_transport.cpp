#include "remote/agent_transport.h"

#include <httplib.h>

#include <cstdint>

#include "remote/connection_keeper.h"
#include "remote/http_library_hooks.h"

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
    IoLimits limits;
    limits.readDeadline = Deadline::After(limit);
    limits.writeDeadline = limits.readDeadline;
    limits.readIdle = std::chrono::seconds(kAgentTimeoutSeconds);
    limits.writeIdle = std::chrono::seconds(kAgentTimeoutSeconds);
    limits.stop = remote.stop;
    limits.stopWrites = true;
    ConnectionKeeper& keeper = ConnectionKeeper::Process();
    // A kept connection only when the server has not closed it: once a byte of the message
    // has gone out, it is never sent again, whatever happens.
    PostClient client(remote.host, remote.port, limits, keeper.Take(remote.host, remote.port));

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
    if (auto connection = client.TakeConnection()) keeper.Keep(std::move(connection));
    return reply;
  } catch (...) {
    return {};
  }
}

}  // namespace morvanix
