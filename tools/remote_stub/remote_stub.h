#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "stub_fault.h"

namespace morvanix::stub {

class PageApi;

// One post to the agent endpoint as the stand-in read it.
struct RecordedMessage {
  std::uint64_t sequence = 0;
  std::string time;         // UTC, ISO 8601 with milliseconds
  std::string encoded;      // the agent_message value as received
  std::string text;         // its decoded bytes
  nlohmann::json parsed;    // the independent reader's view; null when rejected
  std::string error;        // why the message was rejected; empty when accepted
  std::string ssid;         // "SSID" when it is a string
  std::string messageType;  // "message_type" when it is a string
  int peerPort = 0;         // the sender's port: the same for the messages of one connection

  // Texts that are not UTF-8 come out with replacement characters; "encoded" is exact.
  nlohmann::json ToJson() const;
};

struct StubOptions {
  std::ostream* summary = nullptr;           // one line per message received; nullptr = silent
  std::string logPath;                       // JSON Lines of every message, appended; empty = none
  std::size_t maxMessages = 100000;          // beyond this the oldest records are dropped
  std::chrono::milliseconds maxHold{60000};  // a held reply is sent after this at the latest
  std::string pageFolder = {};  // files served under "/" (the reference page); empty = none
};

// Bound of every wait the control API offers.
inline constexpr std::chrono::milliseconds kMaxControlWait{60000};
inline constexpr std::size_t kMaxQueuedPerSession = 10000;

// The remote server played on a loopback address for tests and the demo: decodes and records
// every agent message, answers GET_REQUEST from a per-session queue, and misbehaves on
// request. Everything the control API does is also available in-process.
class RemoteStub {
 public:
  explicit RemoteStub(StubOptions options = {});
  ~RemoteStub();
  RemoteStub(const RemoteStub&) = delete;
  RemoteStub& operator=(const RemoteStub&) = delete;

  // Binds host:port (0 picks a free port) and serves on threads of its own. Returns the
  // port, or -1 when the address cannot be bound, the log file cannot be opened or the page
  // folder does not exist.
  int Start(const std::string& host, int port);
  // Serves the same routes on one more server (an HTTPS one, say) at host:port, after Start.
  // Returns the port, or -1 when it cannot listen there.
  int AddListener(std::unique_ptr<httplib::Server> server, const std::string& host, int port);
  // Wakes every delayed, held or waiting handler and stops serving. Idempotent.
  void Stop();
  int port() const { return port_; }

  // False when the session already has kMaxQueuedPerSession requests waiting.
  bool Enqueue(const std::string& ssid, const std::string& requestText);
  std::size_t QueueLength(const std::string& ssid) const;
  // Records with a sequence number above `since`, oldest first.
  std::vector<RecordedMessage> Messages(std::uint64_t since = 0) const;
  // True once at least `count` records are kept; false after `timeout` or on Stop.
  bool WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const;
  // The sequence number of the latest record once it is above `above`; whatever it is after
  // `timeout` or on Stop.
  std::uint64_t WaitForSequenceAbove(std::uint64_t above, std::chrono::milliseconds timeout) const;
  // Forgets records, queues, the fault and the hold (a held reply is let go).
  void Clear();

  void SetFault(const Fault& fault);
  Fault CurrentFault() const;

  // Holds the reply to the nth message of this type for this session, counted from now,
  // until Release, Clear, Stop or the maxHold bound.
  void Hold(const std::string& ssid, const std::string& messageType, int nth);
  // The sequence number of the held message once the hold is reached; 0 after `timeout`.
  std::uint64_t WaitHeld(std::chrono::milliseconds timeout) const;
  // Lets a held reply go and disarms the hold; false when nothing was held.
  bool Release();

 private:
  struct HoldState {
    bool armed = false;
    std::string ssid;
    std::string messageType;
    int nth = 0;
    int seen = 0;
    std::uint64_t heldSequence = 0;  // set when the hold is reached
    std::uint64_t generation = 0;    // bumped by every Hold, Release and Clear
  };

  struct Listener {
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
  };

  bool Configure(httplib::Server& server);  // false when the page folder is missing
  int Serve(Listener& listener, const std::string& host, int port);
  void RegisterRoutes(httplib::Server& server);
  void ResetHold();  // the caller holds mutex_; releases a held reply
  void HandleAgentMessage(const httplib::Request& request, httplib::Response& response);
  RecordedMessage ReadMessage(const httplib::Request& request) const;
  std::uint64_t Record(RecordedMessage& message);
  void HoldIfArmed(const RecordedMessage& message);
  Fault TakeFault();
  std::string Answer(const RecordedMessage& message, const Fault& fault,
                     const httplib::Request& request, httplib::Response& response);
  void WaitForDelay(int delayMs);
  void WriteOutput(const RecordedMessage& message, const std::string& answer);

  StubOptions options_;
  std::unique_ptr<PageApi> pageApi_;
  std::mutex listenersMutex_;
  std::vector<Listener> listeners_;  // the first one is Start's
  int port_ = -1;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  std::deque<RecordedMessage> messages_;
  std::uint64_t nextSequence_ = 1;
  std::map<std::string, std::deque<std::string>> queues_;
  Fault fault_;
  HoldState hold_;

  std::mutex outputMutex_;
  std::ofstream log_;
};

}  // namespace morvanix::stub
