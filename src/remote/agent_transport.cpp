#include "remote/agent_transport.h"

#include <httplib.h>

#include <cstdint>

#include "remote/connection_keeper.h"
#include "remote/post_client.h"

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

// The same request a form post of one field makes; built by hand so that the reply can be
// received through a size-checked sink instead of an unbounded string.
httplib::Request AgentRequest(const RemoteEndpoint& remote, const std::string& encoded) {
  httplib::Request request;
  request.method = "POST";
  request.path = kAgentPath;
  request.set_header("Content-Type", kFormContentType);
#ifdef MORVANIX_REMOTE_TLS
  // The library names the port in Host unless it is the plain-HTTP default.
  if (remote.port == 443) request.set_header("Host", remote.host);
#else
  (void)remote;
#endif
  request.body.reserve(encoded.size() + 16);
  request.body.append(kFormField).append("=").append(encoded);
  // A non-200 reply is discarded anyway, so its body is not even read.
  request.response_handler = [](const httplib::Response& response) {
    return response.status == 200;
  };
  return request;
}

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
    ConnectionKeeper* const keeper = remote.keeper;

    // A kept connection only when the server has not closed it. A message sent on it goes
    // out once more, on a new connection, only when the server closed that connection before
    // a byte of the reply came: it ended the connection idle, and cannot have read the
    // message. After anything else (a reset, part of a reply, a time-out, the stop) the
    // server may have read it, and it is never sent again.
    std::unique_ptr<RemoteConnection> kept =
        keeper != nullptr ? keeper->Take(remote.host, remote.port) : nullptr;
    for (;;) {
      const SteadyClock::duration idle =
          kept != nullptr ? kept->IdleFor() : SteadyClock::duration::zero();
      const bool keepAlive = keeper != nullptr && keeper->Keeps(remote.host, remote.port);
      PostClient client(remote.host, remote.port, keeper != nullptr ? keeper->Tls() : nullptr,
                        limits, std::move(kept), keepAlive);
      // Made anew for each send: the library adds its headers to the request it sends.
      httplib::Request request = AgentRequest(remote, encoded);
      std::string reply;
      request.content_receiver = [&reply](const char* data, std::size_t size, std::uint64_t,
                                          std::uint64_t) {
        if (size > kMaxAgentReplyBytes - reply.size()) return false;
        reply.append(data, size);
        return true;
      };
      httplib::Response response;
      httplib::Error error = httplib::Error::Success;
      if (client.send(request, response, error)) {
        if (response.status != 200) return {};
        if (auto connection = client.TakeConnection(); connection != nullptr && keepAlive) {
          keeper->Keep(std::move(connection));
        }
        return reply;
      }
      const bool closedUnread = client.Reused() && client.ReplyBytes() == 0 &&
                                client.Ended() == PeerEnd::kOrderly &&
                                !remote.stop.StopRequested() && !limits.readDeadline.Passed();
      if (!closedUnread) return {};
      keeper->LearnUnannouncedClose(remote.host, remote.port, idle);
    }
  } catch (...) {
    return {};
  }
}

}  // namespace morvanix
