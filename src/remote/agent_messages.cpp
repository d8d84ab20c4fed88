#include "remote/agent_messages.h"

#include "json/json_value.h"
#include "remote/agent_transport.h"

namespace morvanix {

namespace {

constexpr const char* kRevision = "Valdrin Pellinor 1.4 WS";

std::string Post(const RemoteEndpoint& remote, const JsonValue& message) {
  return PostAgentMessage(remote, EncodeDecimalBytes(message.dump()));
}

}  // namespace

void SendAgentCheck(const RemoteEndpoint& remote, const std::string& ssid) {
  Post(remote, makeObject({"SSID", ssid, "message_type", "AGENT_CHECK", "revision", kRevision}));
}

void SendInterfaceCheck(const RemoteEndpoint& remote, const std::string& ssid,
                        const std::string& discovered) {
  Post(remote, makeObject({"SSID", ssid, "message_type", "INTERFACE_CHECK", "status", "PRESENT",
                           "discovered", discovered}));
}

std::string FetchRequest(const RemoteEndpoint& remote, const std::string& ssid) {
  return Post(remote, makeObject({"SSID", ssid, "message_type", "GET_REQUEST"}));
}

std::string SendResponse(const RemoteEndpoint& remote, const std::string& result,
                         const std::string& ssid) {
  // A result that does not parse still yields a value; whatever "id" and "result" it lacks
  // reads as null, so the message goes out all the same.
  JsonValue parsed = JsonValue::parse(result);
  JsonValue message = makeObject({"SSID", ssid, "message_type", "RESPONSE"});
  message.member("id") = parsed.member("id");
  message.member("response") = parsed.member("result");
  return Post(remote, message);
}

}  // namespace morvanix
