#include "agent/agent_transport.h"

#include <httplib.h>

#include <charconv>
#include <cstdint>

namespace {

constexpr const char* kAgentPath = "/DEV/Agent.php";
constexpr const char* kFormField = "agent_message";
constexpr const char* kFormContentType = "application/x-www-form-urlencoded";

}  // namespace

std::string EncodeDecimalBytes(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 4);
  char digits[8];
  for (char byte : text) {
    const int value = static_cast<std::int8_t>(static_cast<unsigned char>(byte));
    const auto written = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, written.ptr);
    out.push_back('n');
  }
  return out;
}

std::string PostAgentMessage(const RemoteEndpoint& remote, const std::string& encoded) {
  try {
    httplib::Client client(remote.host, remote.port);
    client.set_connection_timeout(kAgentTimeoutSeconds);
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
    if (!client.send(request, response, error) || response.status != 200) return {};
    return reply;
  } catch (...) {
    return {};
  }
}
