#include "page_api.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <utility>

#include "remote_stub.h"

namespace morvanix::stub {

namespace {

constexpr std::size_t kMaxSessionLength = 64;
constexpr std::size_t kNewSessionLength = 16;
constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kReadings{{
    {"battery_voltage", "ATRV"},
    {"engine_speed", "010C"},
    {"vehicle_speed", "010D"},
    {"coolant_temperature", "0105"},
    {"vin", "0902"},
}};

void Reply(httplib::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                       "application/json");
  // Results of a session must never come from a cache.
  response.set_header("Cache-Control", "no-store");
}

std::optional<long long> Integer(const httplib::Request& request, const char* name,
                                 long long fallback, long long high) {
  if (!request.has_param(name)) return fallback;
  const std::string text = request.get_param_value(name);
  long long value = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || value < 0 ||
      value > high) {
    return std::nullopt;
  }
  return value;
}

nlohmann::json Event(const RecordedMessage& message) {
  nlohmann::json event = {{"sequence", message.sequence}, {"type", message.messageType}};
  if (!message.error.empty()) {
    event["type"] = "REJECTED";
    event["error"] = message.error;
    return event;
  }
  if (message.messageType == "INTERFACE_CHECK") {
    event["discovered"] = message.parsed.value("discovered", nlohmann::json());
  } else if (message.messageType == "RESPONSE") {
    event["id"] = message.parsed.value("id", nlohmann::json());
    const nlohmann::json response = message.parsed.value("response", nlohmann::json());
    nlohmann::json answers;
    if (response.is_string()) {
      answers = nlohmann::json::parse(response.get<std::string>(), nullptr, false);
    }
    if (answers.is_object()) {
      event["answers"] = std::move(answers);
    } else {
      event["answers"] = nullptr;
      event["response"] = response;
    }
  }
  return event;
}

}  // namespace

std::optional<std::string> ReadingCommand(std::string_view name) {
  for (const auto& [reading, command] : kReadings) {
    if (reading == name) return std::string(command);
  }
  return std::nullopt;
}

std::string ReadingRequestText(long long id, const std::string& command) {
  return nlohmann::json{{"id", id}, {"command", nlohmann::json{{"01", command}}.dump()}}.dump();
}

bool IsSessionId(std::string_view text) {
  return !text.empty() && text.size() <= kMaxSessionLength &&
         std::all_of(text.begin(), text.end(), [](unsigned char c) {
           return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                  c == '_';
         });
}

nlohmann::json SessionEvents(const std::vector<RecordedMessage>& messages,
                             const std::string& session) {
  nlohmann::json events = nlohmann::json::array();
  for (const auto& message : messages) {
    if (message.ssid == session) events.push_back(Event(message));
  }
  return events;
}

PageApi::PageApi(RemoteStub& stub) : stub_(stub), random_(std::random_device{}()) {}

std::string PageApi::NewSession() {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  std::string session(kNewSessionLength, ' ');
  std::lock_guard lock(randomMutex_);
  for (char& c : session) c = kAlphabet[pick(random_)];
  return session;
}

void PageApi::Register(httplib::Server& server) {
  server.Post("/app/session", [this](const httplib::Request&, httplib::Response& response) {
    Reply(response, 200, {{"session", NewSession()}});
  });

  server.Post("/app/reading", [this](const httplib::Request& request, httplib::Response& response) {
    const std::string session = request.get_param_value("session");
    const std::string name = request.get_param_value("name");
    const auto command = ReadingCommand(name);
    if (!IsSessionId(session) || !command) {
      return Reply(response, 400,
                   {{"error",
                     "a session of word characters and a known reading "
                     "name are required"}});
    }
    const long long id = nextRequestId_++;
    if (!stub_.Enqueue(session, ReadingRequestText(id, *command))) {
      return Reply(response, 429, {{"error", "too many requests wait for this session"}});
    }
    Reply(response, 200, {{"id", id}, {"name", name}, {"command", *command}});
  });

  server.Get("/app/events", [this](const httplib::Request& request, httplib::Response& response) {
    const std::string session = request.get_param_value("session");
    const auto since = Integer(request, "since", 0, INT64_MAX);
    const auto waitMs = Integer(request, "wait_ms", 0, kMaxEventsWaitMs);
    if (!IsSessionId(session) || !since || !waitMs) {
      return Reply(response, 400,
                   {{"error",
                     "session, since and wait_ms (at most 10000) must "
                     "be a session identifier and integers"}});
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(*waitMs);
    auto last = static_cast<std::uint64_t>(*since);
    for (;;) {
      const auto messages = stub_.Messages(static_cast<std::uint64_t>(*since));
      if (!messages.empty()) last = std::max(last, messages.back().sequence);
      nlohmann::json events = SessionEvents(messages, session);
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (!events.empty() || left.count() <= 0) {
        return Reply(response, 200, {{"last", last}, {"events", std::move(events)}});
      }
      // Woken by any session's record; nothing newer after the wait means time is up.
      if (stub_.WaitForSequenceAbove(last, left) <= last) {
        return Reply(response, 200, {{"last", last}, {"events", nlohmann::json::array()}});
      }
    }
  });
}

}  // namespace morvanix::stub
