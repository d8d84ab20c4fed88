#pragma once

// The reference page's own API beside the control API: the page of a remote diagnostics
// application asks its server for a session, queues readings for it and learns from the
// messages the agent posted what came of its calls to the agent (whose answers say nothing).
//
//   POST /app/session                        {"session":S}, a fresh session identifier
//   POST /app/reading?session=S&name=N       queues the request for reading N (see
//                                            ReadingCommand) under key "01";
//                                            {"id":n,"name":N,"command":C}; 400 for an unknown
//                                            reading or session, 429 when the queue is full
//   GET  /app/events?session=S[&since=N][&wait_ms=T]
//                                            {"last":n,"events":[...]}: the session's records
//                                            with a sequence above N, waiting up to T ms
//                                            (at most 10000) for the first one; pass "last" as
//                                            the next "since"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace morvanix::stub {

class RemoteStub;
struct RecordedMessage;

inline constexpr long long kMaxEventsWaitMs = 10000;

// The adapter command of a reading the page offers; nullopt for any other name.
std::optional<std::string> ReadingCommand(std::string_view name);
// The request text queued for the agent: {"id":id,"command":"{\"01\":\"<command>\"}"}.
std::string ReadingRequestText(long long id, const std::string& command);
// Word characters only, 1 to 64 of them: what the agent's routes take as a session.
bool IsSessionId(std::string_view text);
// What the page needs of the records of one session: type, sequence, and "discovered" for
// INTERFACE_CHECK or "id" and the parsed "answers" (null when they do not parse as an
// object, with the raw "response" beside) for RESPONSE; rejected posts as type "REJECTED".
nlohmann::json SessionEvents(const std::vector<RecordedMessage>& messages,
                             const std::string& session);

class PageApi {
 public:
  explicit PageApi(RemoteStub& stub);
  void Register(httplib::Server& server);

 private:
  std::string NewSession();

  RemoteStub& stub_;
  std::atomic<long long> nextRequestId_{1};
  std::mutex randomMutex_;
  std::mt19937_64 random_;
};

}  // namespace morvanix::stub
