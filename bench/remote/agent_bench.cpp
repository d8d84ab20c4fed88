// One message to the remote server costs a fresh TCP connection and an HTTP exchange; these
// figures show how much the agent adds on top of that floor.
//
//   RawHttpExchange        the floor: a new client, a tiny form post, "OK" back
//   PostToBareServer       PostAgentMessage of an encoded RESPONSE to a server that only
//                          answers "OK"
//   SendResponseToStub     SendResponse end to end (parse, build, dump, encode, post) to the
//                          stand-in, which also decodes and parses every message
//   EncodeResponse         EncodeDecimalBytes of the RESPONSE text alone

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

#include "json/json_value.h"
#include "remote/agent_messages.h"
#include "remote/agent_transport.h"
#include "remote/connection_keeper.h"
#include "remote_stub.h"

using namespace morvanix;

namespace {

// Connections are never reused, so every iteration leaves a socket in TIME_WAIT; a fixed
// count keeps a run well inside the ephemeral port range.
constexpr int kIterations = 2000;

// The result text of a request of ten adapter commands, as the executor writes it.
std::string TypicalResult() {
  JsonValue results;
  const char* answers[] = {"13.4V",    "41 00 BF 9F F9 80", "41 0C 1A F8", "41 0D 32",
                           "41 05 7B", "41 0F 44",          "41 11 26",    "41 2F 80",
                           "41 46 3C", "41 42 36 B0"};
  for (int i = 0; i < 10; ++i) {
    results.member((i < 9 ? "0" : "") + std::to_string(i + 1)) = answers[i];
  }
  JsonValue response;
  response.member("id") = JsonValue::fromInteger(4711);
  response.member("result") = results.dump();
  return response.dump();
}

std::string TypicalResponseMessage() {
  JsonValue parsed = JsonValue::parse(TypicalResult());
  JsonValue message = makeObject({"SSID", "ABC123", "message_type", "RESPONSE"});
  message.member("id") = parsed.member("id");
  message.member("response") = parsed.member("result");
  return message.dump();
}

// A server that answers every post with "OK" and nothing else.
class BareServer {
 public:
  BareServer() {
    server_.Post(".*", [](const httplib::Request&, httplib::Response& response) {
      response.set_content("OK", "text/plain");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~BareServer() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = -1;
};

void RawHttpExchange(benchmark::State& state) {
  BareServer server;
  for (auto _ : state) {
    httplib::Client client("127.0.0.1", server.port());
    const httplib::Params params{{"agent_message", "97n"}};
    auto result = client.Post("/DEV/Agent.php", params);
    if (!result || result->body != "OK") state.SkipWithError("exchange failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void PostToBareServer(benchmark::State& state) {
  BareServer server;
  ConnectionKeeper keeper;
  RemoteEndpoint remote{"127.0.0.1", server.port()};
  remote.keeper = &keeper;
  const std::string encoded = EncodeDecimalBytes(TypicalResponseMessage());
  for (auto _ : state) {
    if (PostAgentMessage(remote, encoded) != "OK") state.SkipWithError("post failed");
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["encoded_bytes"] = static_cast<double>(encoded.size());
}

void SendResponseToStub(benchmark::State& state) {
  morvanix::stub::StubOptions options;
  options.maxMessages = 1000;
  morvanix::stub::RemoteStub stub(options);
  const int port = stub.Start("127.0.0.1", 0);
  ConnectionKeeper keeper;
  RemoteEndpoint remote{"127.0.0.1", port};
  remote.keeper = &keeper;
  const std::string result = TypicalResult();
  for (auto _ : state) {
    if (SendResponse(remote, result, "ABC123") != "OK") state.SkipWithError("send failed");
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["json_bytes"] = static_cast<double>(TypicalResponseMessage().size());
}

void EncodeResponse(benchmark::State& state) {
  const std::string text = TypicalResponseMessage();
  for (auto _ : state) benchmark::DoNotOptimize(EncodeDecimalBytes(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

BENCHMARK(RawHttpExchange)->Iterations(kIterations)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(PostToBareServer)->Iterations(kIterations)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(SendResponseToStub)
    ->Iterations(kIterations)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(EncodeResponse)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
