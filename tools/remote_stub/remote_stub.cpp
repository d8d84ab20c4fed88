#include "remote_stub.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <optional>
#include <sstream>

#include "decimal_decoding.h"
#include "page_api.h"
#include "raw_connection_posix.h"

namespace morvanix::stub {

namespace {

constexpr int kServerThreads = 32;
constexpr std::size_t kMaxPostBytes = 256u * 1024u * 1024u;
constexpr std::chrono::seconds kStartBound{5};
constexpr std::size_t kTruncatedAnnounced = 1000;
constexpr std::size_t kTruncatedSent = 500;
constexpr std::size_t kSummaryExcerpt = 60;
constexpr const char* kGarbage = "\x16\x03\x01 this is not HTTP at all\r\n\r\n";
constexpr std::array<const char*, 4> kMessageTypes{"AGENT_CHECK", "INTERFACE_CHECK", "GET_REQUEST",
                                                   "RESPONSE"};

struct LongHead {
  const char* prefix;
  const char* unit;
  const char* suffix;
};

LongHead LongHeadOf(FaultKind kind) {
  switch (kind) {
    case FaultKind::LongStatus:
      return {"HTTP/1.1 ", "9", "\r\nContent-Length: 0\r\n\r\n"};
    case FaultKind::LongReason:
      return {"HTTP/1.1 200 ", "Z", "\r\nContent-Length: 0\r\n\r\n"};
    case FaultKind::LongHeader:
      return {"HTTP/1.1 200 OK\r\nX-Long: ", "a", "\r\nContent-Length: 2\r\n\r\nok"};
    default:
      return {"HTTP/1.1 200 OK\r\n", "X: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\r\n",
              "Content-Length: 2\r\n\r\nok"};
  }
}

std::string NowText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(millis));
  return text;
}

std::string DumpJson(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Keeps a summary on one readable line whatever bytes a message carried.
std::string Printable(const std::string& text, std::size_t limit) {
  std::string out;
  for (unsigned char c : text.substr(0, limit)) {
    if (c == '\n') {
      out += "\\n";
    } else {
      out.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

// The body must be exactly one form field, agent_message; its value is taken verbatim, so
// an encoding that needed percent-escaping fails to decode instead of being repaired.
std::optional<std::string> AgentMessageField(const std::string& body, std::string* error) {
  const std::string prefix = "agent_message=";
  if (body.compare(0, prefix.size(), prefix) != 0) {
    *error = "the body does not start with agent_message=";
    return std::nullopt;
  }
  if (body.find('&') != std::string::npos) {
    *error = "the body holds more than the one field agent_message";
    return std::nullopt;
  }
  return body.substr(prefix.size());
}

std::string Validate(const nlohmann::json& parsed) {
  if (!parsed.is_object()) return "the message is not a JSON object";
  const auto ssid = parsed.find("SSID");
  if (ssid == parsed.end() || !ssid->is_string()) return "the message has no string SSID";
  const auto type = parsed.find("message_type");
  if (type == parsed.end() || !type->is_string()) return "the message has no string message_type";
  const auto known =
      std::find(kMessageTypes.begin(), kMessageTypes.end(), type->get<std::string>());
  if (known == kMessageTypes.end()) return "unknown message_type " + type->get<std::string>();
  return {};
}

std::string Detail(const RecordedMessage& message) {
  const auto text = [&](const char* key) -> std::string {
    const auto found = message.parsed.find(key);
    if (found == message.parsed.end()) return "(none)";
    return Printable(found->is_string() ? found->get<std::string>() : DumpJson(*found),
                     kSummaryExcerpt);
  };
  if (message.messageType == "AGENT_CHECK") return " revision=" + text("revision");
  if (message.messageType == "INTERFACE_CHECK") return " discovered=" + text("discovered");
  if (message.messageType == "RESPONSE") {
    return " id=" + text("id") + " response=" + text("response");
  }
  return {};
}

// A query parameter as a bounded integer; nullopt when present but unusable.
std::optional<long long> QueryInteger(const httplib::Request& request, const char* name,
                                      long long fallback, long long low, long long high) {
  if (!request.has_param(name)) return fallback;
  const std::string text = request.get_param_value(name);
  long long value = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size() || value < low ||
      value > high) {
    return std::nullopt;
  }
  return value;
}

// The answer a handler made, as the library would write it: status line, its headers and the
// body (the handler's answers here all carry their body whole).
std::string RawReply(const httplib::Response& response) {
  const int status = response.status == -1 ? 200 : response.status;  // -1: the library's 200
  std::string raw =
      "HTTP/1.1 " + std::to_string(status) + " " + httplib::status_message(status) + "\r\n";
  for (const auto& [name, value] : response.headers) raw += name + ": " + value + "\r\n";
  raw += "Content-Length: " + std::to_string(response.body.size()) + "\r\n\r\n";
  return raw + response.body;
}

void ReplyJson(httplib::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.set_content(DumpJson(body) + "\n", "application/json");
}

void ReplyBadRequest(httplib::Response& response, const std::string& error) {
  ReplyJson(response, 400, {{"error", error}});
}

}  // namespace

nlohmann::json RecordedMessage::ToJson() const {
  nlohmann::json out = {{"sequence", sequence},        {"time", time},         {"ssid", ssid},
                        {"message_type", messageType}, {"text", text},         {"parsed", parsed},
                        {"encoded", encoded},          {"peer_port", peerPort}};
  if (!error.empty()) out["error"] = error;
  return out;
}

RemoteStub::RemoteStub(StubOptions options)
    : options_(std::move(options)), pageApi_(std::make_unique<PageApi>(*this)) {}

RemoteStub::~RemoteStub() {
  Stop();
}

int RemoteStub::Start(const std::string& host, int port) {
  std::lock_guard lock(listenersMutex_);
  if (!listeners_.empty()) return port_;
  if (!options_.logPath.empty()) {
    log_.open(options_.logPath, std::ios::app | std::ios::binary);
    if (!log_) return -1;
  }
  Listener& listener = listeners_.emplace_back();
  listener.server = std::make_unique<httplib::Server>();
  port_ = Serve(listener, host, port);
  if (port_ < 0) listeners_.clear();
  return port_;
}

int RemoteStub::AddListener(std::unique_ptr<httplib::Server> server, const std::string& host,
                            int port) {
  std::lock_guard lock(listenersMutex_);
  if (listeners_.empty() || server == nullptr) return -1;
  Listener& listener = listeners_.emplace_back();
  listener.server = std::move(server);
  const int bound = Serve(listener, host, port);
  if (bound < 0) listeners_.pop_back();
  return bound;
}

bool RemoteStub::Configure(httplib::Server& server) {
  server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
  server.set_payload_max_length(kMaxPostBytes);
  // Short, so that Stop is not held up by an idle keep-alive connection of a control client.
  server.set_keep_alive_timeout(1);
  // The agent keeps its connection between messages; the library's default of five requests a
  // connection would have it reconnect after every few.
  server.set_keep_alive_max_count(1000);
  // The library's default also sets SO_REUSEPORT, which would let a second stand-in share the
  // port and silently take half of the messages.
  // TCP_NODELAY is inherited by the accepted connections: the library writes a reply's head
  // and body apart, and on a kept connection the body would otherwise wait for the agent's
  // delayed acknowledgement of the head.
  server.set_socket_options([](socket_t socket) {
    int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  });
  if (!options_.pageFolder.empty()) {
    server.set_file_extension_and_mimetype_mapping("js", "text/javascript");
    server.set_file_extension_and_mimetype_mapping("svg", "image/svg+xml");
    if (!server.set_mount_point("/", options_.pageFolder)) return false;
  }
  RegisterRoutes(server);
  return true;
}

int RemoteStub::Serve(Listener& listener, const std::string& host, int port) {
  httplib::Server& server = *listener.server;
  if (!Configure(server)) return -1;
  const int bound =
      port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
  if (bound <= 0) return -1;
  listener.thread = std::thread([&server] { server.listen_after_bind(); });
  // Stop must not come before the listen loop runs, or the loop would never see it.
  const auto deadline = std::chrono::steady_clock::now() + kStartBound;
  while (!server.is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (!server.is_running()) {
    server.stop();
    listener.thread.join();
    return -1;
  }
  return bound;
}

void RemoteStub::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  std::lock_guard lock(listenersMutex_);
  for (auto& listener : listeners_) {
    if (listener.thread.joinable()) {
      listener.server->stop();
      listener.thread.join();
    }
  }
}

bool RemoteStub::Enqueue(const std::string& ssid, const std::string& requestText) {
  std::lock_guard lock(mutex_);
  auto& queue = queues_[ssid];
  if (queue.size() >= kMaxQueuedPerSession) return false;
  queue.push_back(requestText);
  return true;
}

std::size_t RemoteStub::QueueLength(const std::string& ssid) const {
  std::lock_guard lock(mutex_);
  const auto found = queues_.find(ssid);
  return found == queues_.end() ? 0 : found->second.size();
}

std::vector<RecordedMessage> RemoteStub::Messages(std::uint64_t since) const {
  std::lock_guard lock(mutex_);
  std::vector<RecordedMessage> out;
  for (const auto& message : messages_) {
    if (message.sequence > since) out.push_back(message);
  }
  return out;
}

std::uint64_t RemoteStub::WaitForSequenceAbove(std::uint64_t above,
                                               std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::min(timeout, kMaxControlWait),
                    [&] { return stopping_ || nextSequence_ - 1 > above; });
  return nextSequence_ - 1;
}

bool RemoteStub::WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::min(timeout, kMaxControlWait),
                    [&] { return stopping_ || messages_.size() >= count; });
  return messages_.size() >= count;
}

void RemoteStub::Clear() {
  {
    std::lock_guard lock(mutex_);
    messages_.clear();
    queues_.clear();
    fault_ = Fault{};
    ResetHold();
  }
  changed_.notify_all();
}

void RemoteStub::ResetHold() {
  const std::uint64_t generation = hold_.generation + 1;
  hold_ = HoldState{};
  hold_.generation = generation;
}

void RemoteStub::SetFault(const Fault& fault) {
  std::lock_guard lock(mutex_);
  fault_ = fault;
}

Fault RemoteStub::CurrentFault() const {
  std::lock_guard lock(mutex_);
  return fault_;
}

void RemoteStub::Hold(const std::string& ssid, const std::string& messageType, int nth) {
  {
    std::lock_guard lock(mutex_);
    ResetHold();
    hold_.armed = true;
    hold_.ssid = ssid;
    hold_.messageType = messageType;
    hold_.nth = std::max(nth, 1);
  }
  changed_.notify_all();
}

std::uint64_t RemoteStub::WaitHeld(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::min(timeout, kMaxControlWait),
                    [&] { return stopping_ || hold_.heldSequence != 0; });
  return hold_.heldSequence;
}

bool RemoteStub::Release() {
  bool wasHeld = false;
  {
    std::lock_guard lock(mutex_);
    wasHeld = hold_.heldSequence != 0;
    ResetHold();
  }
  changed_.notify_all();
  return wasHeld;
}

RecordedMessage RemoteStub::ReadMessage(const httplib::Request& request) const {
  RecordedMessage message;
  message.time = NowText();
  message.peerPort = request.remote_port;
  const std::string contentType = request.get_header_value("Content-Type");
  if (contentType != "application/x-www-form-urlencoded") {
    message.error = "Content-Type is \"" + contentType + "\", not a form";
  }
  std::string fieldError;
  const auto field = AgentMessageField(request.body, &fieldError);
  if (!field) {
    if (message.error.empty()) message.error = fieldError;
    message.encoded = request.body;
    return message;
  }
  message.encoded = *field;
  const auto decoded = DecodeDecimalBytes(message.encoded);
  if (!decoded) {
    if (message.error.empty()) message.error = "agent_message is not a decimal byte encoding";
    return message;
  }
  message.text = *decoded;
  nlohmann::json parsed = nlohmann::json::parse(message.text, nullptr, false);
  if (parsed.is_discarded()) {
    if (message.error.empty()) message.error = "the JSON reader rejected the message text";
    return message;
  }
  message.parsed = std::move(parsed);
  if (const auto ssid = message.parsed.find("SSID");
      ssid != message.parsed.end() && ssid->is_string()) {
    message.ssid = ssid->get<std::string>();
  }
  if (const auto type = message.parsed.find("message_type");
      type != message.parsed.end() && type->is_string()) {
    message.messageType = type->get<std::string>();
  }
  if (message.error.empty()) message.error = Validate(message.parsed);
  return message;
}

std::uint64_t RemoteStub::Record(RecordedMessage& message) {
  {
    std::lock_guard lock(mutex_);
    message.sequence = nextSequence_++;
    messages_.push_back(message);
    while (messages_.size() > options_.maxMessages) messages_.pop_front();
  }
  changed_.notify_all();
  if (log_.is_open()) {
    std::lock_guard lock(outputMutex_);
    log_ << DumpJson(message.ToJson()) << '\n';
    log_.flush();
  }
  return message.sequence;
}

void RemoteStub::HoldIfArmed(const RecordedMessage& message) {
  std::unique_lock lock(mutex_);
  if (!hold_.armed || hold_.heldSequence != 0 || !message.error.empty() ||
      message.ssid != hold_.ssid || message.messageType != hold_.messageType) {
    return;
  }
  if (++hold_.seen != hold_.nth) return;
  hold_.heldSequence = message.sequence;
  const std::uint64_t generation = hold_.generation;
  changed_.notify_all();
  changed_.wait_for(lock, options_.maxHold,
                    [&] { return stopping_ || hold_.generation != generation; });
  // After the bound the hold stays reached (for WaitHeld) but catches nothing more.
  if (hold_.generation == generation) hold_.armed = false;
}

Fault RemoteStub::TakeFault() {
  std::lock_guard lock(mutex_);
  if (fault_.kind == FaultKind::None || fault_.remaining <= 0) return Fault{};
  Fault taken = fault_;
  if (--fault_.remaining == 0) fault_ = Fault{};
  return taken;
}

void RemoteStub::WaitForDelay(int delayMs) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(delayMs), [&] { return stopping_; });
}

std::string RemoteStub::Answer(const RecordedMessage& message, const Fault& fault,
                               const httplib::Request& request, httplib::Response& response) {
  switch (fault.kind) {
    case FaultKind::Status:
      response.status = fault.status;
      response.set_content(fault.body, "text/plain");
      return "fault: status " + std::to_string(fault.status) + " with " +
             std::to_string(fault.body.size()) + " bytes";
    case FaultKind::Close:
      return AbortConnection(request, "") ? "fault: closed without answering"
                                          : "fault: close failed, socket not found";
    case FaultKind::CloseAfterReply: {
      const std::string answered = Answer(message, Fault{}, request, response);
      return AbortConnection(request, RawReply(response)) ? answered + ", then closed unannounced"
                                                          : "fault: close failed, socket not found";
    }
    case FaultKind::LongStatus:
    case FaultKind::LongReason:
    case FaultKind::LongHeader:
    case FaultKind::ManyHeaders: {
      const LongHead head = LongHeadOf(fault.kind);
      return AbortConnection(request, head.prefix, head.unit, fault.bytes, head.suffix)
                 ? std::string("fault: ") + FaultKindName(fault.kind) + " of " +
                       std::to_string(fault.bytes) + " bytes"
                 : "fault: long head failed, socket not found";
    }
    case FaultKind::Garbage:
      return AbortConnection(request, kGarbage) ? "fault: answered garbage and closed"
                                                : "fault: garbage failed, socket not found";
    case FaultKind::Truncate:
      response.set_content_provider(kTruncatedAnnounced, "application/octet-stream",
                                    [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                      if (offset >= kTruncatedSent) return false;
                                      const std::string part(kTruncatedSent, 't');
                                      return sink.write(part.data(), part.size());
                                    });
      return "fault: closed after " + std::to_string(kTruncatedSent) + " of " +
             std::to_string(kTruncatedAnnounced) + " bytes";
    case FaultKind::Huge:
      if (fault.bytes == 0) {
        response.set_content("", "application/octet-stream");
      } else {
        response.set_content_provider(fault.bytes, "application/octet-stream",
                                      [](std::size_t, std::size_t length, httplib::DataSink& sink) {
                                        static const std::string chunk(64 * 1024, 'x');
                                        return sink.write(chunk.data(),
                                                          std::min(length, chunk.size()));
                                      });
      }
      return "fault: 200 with " + std::to_string(fault.bytes) + " bytes";
    case FaultKind::Delay:
      WaitForDelay(fault.delayMs);
      break;
    case FaultKind::None:
      break;
  }
  const std::string delayed =
      fault.kind == FaultKind::Delay ? " after " + std::to_string(fault.delayMs) + " ms" : "";
  if (!message.error.empty()) {
    response.status = 400;
    response.set_content("BAD_MESSAGE: " + message.error, "text/plain");
    return "400 rejected" + delayed;
  }
  if (message.messageType != "GET_REQUEST") {
    response.set_content("OK", "text/plain");
    return "200 OK" + delayed;
  }
  std::optional<std::string> next;
  {
    std::lock_guard lock(mutex_);
    auto& queue = queues_[message.ssid];
    if (!queue.empty()) {
      next = std::move(queue.front());
      queue.pop_front();
    }
  }
  if (!next) {
    response.set_content("NOT_FOUND", "text/plain");
    return "200 NOT_FOUND" + delayed;
  }
  response.set_content(*next, "text/plain");
  return "200 request " + Printable(*next, kSummaryExcerpt) + delayed;
}

void RemoteStub::WriteOutput(const RecordedMessage& message, const std::string& answer) {
  if (options_.summary == nullptr) return;
  std::ostringstream line;
  line << '#' << message.sequence << ' ' << message.time.substr(11, 12) << ' ';
  if (message.error.empty()) {
    line << Printable(message.ssid, kSummaryExcerpt) << ' ' << message.messageType
         << Detail(message);
  } else {
    line << "REJECTED " << message.error;
  }
  line << " -> " << answer << '\n';
  std::lock_guard lock(outputMutex_);
  *options_.summary << line.str() << std::flush;
}

void RemoteStub::HandleAgentMessage(const httplib::Request& request, httplib::Response& response) {
  RecordedMessage message = ReadMessage(request);
  Record(message);
  HoldIfArmed(message);
  const std::string answer = Answer(message, TakeFault(), request, response);
  WriteOutput(message, answer);
}

void RemoteStub::RegisterRoutes(httplib::Server& server) {
  server.Post("/DEV/Agent.php",
              [this](const httplib::Request& request, httplib::Response& response) {
                HandleAgentMessage(request, response);
              });

  server.Post(
      "/control/enqueue", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string ssid = request.get_param_value("ssid");
        if (ssid.empty()) return ReplyBadRequest(response, "ssid is required");
        const bool queued = Enqueue(ssid, request.body);
        ReplyJson(response, queued ? 200 : 429, {{"ssid", ssid}, {"queued", QueueLength(ssid)}});
      });

  server.Get("/control/queue",
             [this](const httplib::Request& request, httplib::Response& response) {
               const std::string ssid = request.get_param_value("ssid");
               ReplyJson(response, 200, {{"ssid", ssid}, {"queued", QueueLength(ssid)}});
             });

  server.Get("/control/messages",
             [this](const httplib::Request& request, httplib::Response& response) {
               const auto since = QueryInteger(request, "since", 0, 0, INT64_MAX);
               if (!since) return ReplyBadRequest(response, "since must be a sequence number");
               nlohmann::json list = nlohmann::json::array();
               for (const auto& message : Messages(static_cast<std::uint64_t>(*since))) {
                 list.push_back(message.ToJson());
               }
               ReplyJson(response, 200, list);
             });

  server.Get("/control/wait-messages", [this](const httplib::Request& request,
                                              httplib::Response& response) {
    const auto count = QueryInteger(request, "count", 1, 0, INT32_MAX);
    const auto timeout = QueryInteger(request, "timeout_ms", 10000, 0, kMaxControlWait.count());
    if (!count || !timeout) {
      return ReplyBadRequest(response, "count and timeout_ms (at most 60000) must be integers");
    }
    const bool reached =
        WaitForMessages(static_cast<std::size_t>(*count), std::chrono::milliseconds(*timeout));
    ReplyJson(response, reached ? 200 : 408, {{"reached", reached}, {"count", Messages().size()}});
  });

  server.Post("/control/clear", [this](const httplib::Request&, httplib::Response& response) {
    Clear();
    ReplyJson(response, 200, {{"cleared", true}});
  });

  server.Post("/control/fault", [this](const httplib::Request& request,
                                       httplib::Response& response) {
    const nlohmann::json faultJson = request.body.empty()
                                         ? nlohmann::json::object()
                                         : nlohmann::json::parse(request.body, nullptr, false);
    std::string error;
    const auto fault = ParseFault(faultJson, &error);
    if (!fault) return ReplyBadRequest(response, error);
    SetFault(*fault);
    ReplyJson(response, 200, {{"kind", FaultKindName(fault->kind)}, {"count", fault->remaining}});
  });

  server.Post(
      "/control/hold", [this](const httplib::Request& request, httplib::Response& response) {
        const std::string ssid = request.get_param_value("ssid");
        const std::string type = request.get_param_value("message_type");
        const auto nth = QueryInteger(request, "nth", 1, 1, INT32_MAX);
        if (ssid.empty() || type.empty() || !nth) {
          return ReplyBadRequest(response, "ssid, message_type and a positive nth are required");
        }
        Hold(ssid, type, static_cast<int>(*nth));
        ReplyJson(response, 200, {{"ssid", ssid}, {"message_type", type}, {"nth", *nth}});
      });

  server.Get(
      "/control/wait-held", [this](const httplib::Request& request, httplib::Response& response) {
        const auto timeout = QueryInteger(request, "timeout_ms", 10000, 0, kMaxControlWait.count());
        if (!timeout) return ReplyBadRequest(response, "timeout_ms must be 0 to 60000");
        const std::uint64_t sequence = WaitHeld(std::chrono::milliseconds(*timeout));
        ReplyJson(response, sequence != 0 ? 200 : 408,
                  {{"held", sequence != 0}, {"sequence", sequence}});
      });

  server.Post("/control/release", [this](const httplib::Request&, httplib::Response& response) {
    ReplyJson(response, 200, {{"released", Release()}});
  });

  pageApi_->Register(server);
}

}  // namespace morvanix::stub
