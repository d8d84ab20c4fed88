#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <ostream>
#include <string>
#include <thread>

#include "raw_http.h"
#include "remote/agent_transport.h"
#include "stub_fixture.h"

using namespace morvanix;

namespace {

using morvanix::stub::Fault;
using morvanix::stub::FaultKind;

// A one-shot loopback server that keeps the exact bytes of the request it receives and
// answers with a fixed reply, to see the transport's request below the HTTP library.
class RawCapture {
 public:
  RawCapture() {
    listener_ = OccupyLoopbackPort(0);
    port_ = BoundPort(listener_);
    if (port_ == 0) return;
    captured_ = std::async(std::launch::async, [this] { return Serve(); });
  }
  ~RawCapture() {
    if (captured_.valid()) captured_.wait();
    ::close(listener_);
  }
  int port() const { return port_; }
  std::string Request() { return captured_.get(); }

 private:
  // Reads the head, then as many body bytes as Content-Length announces; 10 s at most.
  std::string Serve() {
    pollfd waiting{listener_, POLLIN, 0};
    if (::poll(&waiting, 1, 10000) != 1) return "(no connection)";
    const int connection = ::accept(listener_, nullptr, nullptr);
    std::string request;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline && !Complete(request)) {
      pollfd readable{connection, POLLIN, 0};
      if (::poll(&readable, 1, 100) != 1) continue;
      char buffer[4096];
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    const std::string reply =
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nheard";
    ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::close(connection);
    return request;
  }

  static bool Complete(const std::string& request) {
    const std::size_t headEnd = request.find("\r\n\r\n");
    if (headEnd == std::string::npos) return false;
    const std::size_t lengthAt = request.find("Content-Length: ");
    if (lengthAt == std::string::npos || lengthAt > headEnd) return true;
    const std::size_t length = std::stoul(request.substr(lengthAt + 16));
    return request.size() >= headEnd + 4 + length;
  }

  int listener_ = -1;
  int port_ = 0;
  std::future<std::string> captured_;
};

std::string HeaderValue(const std::string& request, const std::string& name) {
  const std::size_t at = request.find("\r\n" + name + ": ");
  if (at == std::string::npos) return "(absent)";
  const std::size_t start = at + name.size() + 4;
  return request.substr(start, request.find("\r\n", start) - start);
}

struct WireCase {
  const char* name;
  std::string message;
};

void PrintTo(const WireCase& c, std::ostream* os) {
  *os << c.name;
}

class AgentTransportWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(AgentTransportWire, SendsOneFormFieldByteForByte) {
  RawCapture capture;
  ASSERT_GT(capture.port(), 0);
  const std::string encoded = EncodeDecimalBytes(GetParam().message);

  PostTarget target(capture.port());
  const std::string reply = PostAgentMessage(target.Endpoint(), encoded);
  const std::string request = capture.Request();

  const std::string expectedBody = "agent_message=" + encoded;
  EXPECT_EQ(reply, "heard");
  EXPECT_EQ(request.substr(0, request.find("\r\n")), "POST /DEV/Agent.php HTTP/1.1");
  EXPECT_EQ(HeaderValue(request, "Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(HeaderValue(request, "Content-Length"), std::to_string(expectedBody.size()));
  // HTTP/1.1 keeps the connection open unless a side asks to close it.
  EXPECT_EQ(HeaderValue(request, "Connection"), "(absent)");
  ASSERT_NE(request.find("\r\n\r\n"), std::string::npos);
  EXPECT_EQ(request.substr(request.find("\r\n\r\n") + 4), expectedBody);
}

INSTANTIATE_TEST_SUITE_P(AgentMessages, AgentTransportWire,
                         ::testing::Values(WireCase{"Empty", ""}, WireCase{"Abc", "abc"},
                                           WireCase{
                                               "Json",
                                               "{\n  \"SSID\" : \"ABC123\",\n  \"message_type\" : "
                                               "\"GET_REQUEST\"\n}"},
                                           WireCase{"HighBytes", "\xC3\xA4\x80\xFF"}),
                         [](const auto& info) { return std::string(info.param.name); });

// What the stand-in answers on the next post, and what the transport must return for it.
struct ReplyCase {
  const char* name;
  Fault fault;
  std::string expected;
  std::chrono::milliseconds limit = std::chrono::seconds(kAgentTimeoutSeconds);
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
  *os << c.name;
}

Fault MakeFault(FaultKind kind, int status = 500, std::string body = {}, int delayMs = 0,
                std::size_t bytes = 0) {
  Fault fault;
  fault.kind = kind;
  fault.remaining = 1;
  fault.status = status;
  fault.body = std::move(body);
  fault.delayMs = delayMs;
  fault.bytes = bytes;
  return fault;
}

class AgentTransportReply : public AgentStubTest,
                            public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(AgentTransportReply, ReturnsTheBodyOnlyFor200) {
  stub_.Enqueue("S1", "{\"id\": 1, \"command\": \"{}\"}");
  stub_.SetFault(GetParam().fault);
  const std::string fetch =
      EncodeDecimalBytes("{\n  \"SSID\" : \"S1\",\n  \"message_type\" : \"GET_REQUEST\"\n}");

  const std::string reply = PostAgentMessage(remote(), fetch, GetParam().limit);
  EXPECT_EQ(reply.size(), GetParam().expected.size());
  EXPECT_TRUE(reply == GetParam().expected) << reply.substr(0, 80);
  EXPECT_EQ(stub_.Messages().size(), 1u) << "the message is posted once, never retried";
}

const std::string kQueued = "{\"id\": 1, \"command\": \"{}\"}";

INSTANTIATE_TEST_SUITE_P(
    AgentFaults, AgentTransportReply,
    ::testing::Values(
        ReplyCase{"Normal", Fault{}, kQueued},
        ReplyCase{"NotFound404WithBody", MakeFault(FaultKind::Status, 404, "no such page"), ""},
        ReplyCase{"ServerError500", MakeFault(FaultKind::Status, 500, "oops"), ""},
        ReplyCase{"Redirect302", MakeFault(FaultKind::Status, 302, "elsewhere"), ""},
        ReplyCase{"Empty200", MakeFault(FaultKind::Status, 200, ""), ""},
        ReplyCase{"Garbage200Body", MakeFault(FaultKind::Status, 200, "\x01not json\xFF"),
                  "\x01not json\xFF"},
        ReplyCase{"ClosedBeforeReply", MakeFault(FaultKind::Close), ""},
        ReplyCase{"ClosedMidReply", MakeFault(FaultKind::Truncate), ""},
        ReplyCase{"NotHttp", MakeFault(FaultKind::Garbage), ""},
        // Longer than the HTTP library's own 5 s read default, far within the agent's bound.
        ReplyCase{"SlowWithinTimeout", MakeFault(FaultKind::Delay, 0, "", 6500), kQueued},
        // A limit of the caller's own leaves a reply that comes within it alone.
        ReplyCase{"SlowWithinItsLimit", MakeFault(FaultKind::Delay, 0, "", 300), kQueued,
                  std::chrono::seconds(3)},
        ReplyCase{"LargeWithinBound", MakeFault(FaultKind::Huge, 200, "", 0, kMaxAgentReplyBytes),
                  std::string(kMaxAgentReplyBytes, 'x')},
        ReplyCase{"LargerThanBound",
                  MakeFault(FaultKind::Huge, 200, "", 0, kMaxAgentReplyBytes + 1), ""},
        // Reply heads past the line limit, of sizes that used to overflow a thread's stack.
        ReplyCase{"ReasonJustInsideTheLineLimit", MakeFault(FaultKind::LongReason, 0, "", 0, 8150),
                  ""},
        ReplyCase{"StatusLine100KB", MakeFault(FaultKind::LongStatus, 0, "", 0, 100000), ""},
        ReplyCase{"ReasonPhrase100KB", MakeFault(FaultKind::LongReason, 0, "", 0, 100000), ""},
        ReplyCase{"HeaderValue100KB", MakeFault(FaultKind::LongHeader, 0, "", 0, 100000), ""},
        ReplyCase{"HeadersWithoutEnd",
                  MakeFault(FaultKind::ManyHeaders, 0, "", 0, 1024u * 1024u * 1024u), ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AgentTransportFailure, RefusedConnectionGivesEmptyText) {
  // A bound socket that never listens: connecting to its port is refused at once.
  const int idle = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(idle, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(idle, reinterpret_cast<sockaddr*>(&address), &length), 0);

  EXPECT_EQ(PostAgentMessage(RemoteEndpoint{"127.0.0.1", ntohs(address.sin_port)},
                             EncodeDecimalBytes("{}")),
            "");
  ::close(idle);
}

TEST(AgentTransportFailure, UnusableEndpointGivesEmptyText) {
  for (const RemoteEndpoint& endpoint :
       {RemoteEndpoint{"", 80}, RemoteEndpoint{"127.0.0.1", 0}, RemoteEndpoint{"127.0.0.1", -5}}) {
    EXPECT_EQ(PostAgentMessage(endpoint, "97n"), "") << endpoint.host << ':' << endpoint.port;
  }
}

}  // namespace
