// remote-stub: plays the remote diagnostics server on a loopback address for tests and the
// demo. Every agent message is decoded, read with an independent JSON reader, recorded,
// printed as one line and optionally appended to a JSON Lines file.
//
//   remote-stub --host 127.0.0.1 --port N [--log messages.jsonl]
//
// --port 0 picks a free port. The first line printed is
//   remote-stub listening on 127.0.0.1:PORT
// SIGINT or SIGTERM stops it cleanly (exit status 0).
//
// Agent endpoint
//   POST /DEV/Agent.php   form field agent_message. GET_REQUEST is answered with the next
//                         request queued for its SSID, or NOT_FOUND; the other messages with
//                         OK; a message that does not decode, parse or name its SSID and type
//                         is recorded with an "error" and answered 400.
//
// Control API (JSON answers; every wait is bounded by 60000 ms)
//   POST /control/enqueue?ssid=S          body = request text, queued unchanged (429 once
//                                         10000 wait for the session)
//   GET  /control/queue?ssid=S            {"ssid":S,"queued":n}
//   GET  /control/messages[?since=N]      array of records with sequence > N: sequence, time,
//                                         ssid, message_type, text, parsed, encoded[, error]
//   GET  /control/wait-messages?count=N[&timeout_ms=T]
//                                         200 once N records are kept, 408 after T ms
//   POST /control/clear                   forget records, queues, fault and hold
//   POST /control/fault                   body {"kind":K, "count":N, ...} for the next N posts:
//        {"kind":"status","status":404,"body":"..."}   that status and body (200 + "" too)
//        {"kind":"delay","delay_ms":1500}               wait, then answer normally
//        {"kind":"close"}                               close without a byte
//        {"kind":"truncate"}                            headers, half the body, close
//        {"kind":"garbage"}                             bytes that are not HTTP, close
//        {"kind":"huge","bytes":33554432}               200 with that many bytes
//        {"kind":"long-status","bytes":N}               a status line of N digits, close
//        {"kind":"long-reason","bytes":N}               200 and a reason of N bytes, close
//        {"kind":"long-header","bytes":N}               a header value of N bytes, close
//        {"kind":"many-headers","bytes":N}              N bytes of short header lines, close
//        {} or {"kind":"none"}                          no fault
//   POST /control/hold?ssid=S&message_type=T&nth=N
//                                         hold the reply to the Nth such message from now
//                                         until release (at most 60 s)
//   GET  /control/wait-held[?timeout_ms=T]
//                                         200 {"held":true,"sequence":n} once reached, else 408
//   POST /control/release                 let the held reply go; {"released":bool}
//
// Example:
//   curl -s --data-binary '{"id": 17, "command": "{\"01\":\"ATRV\"}"}'
//        'http://127.0.0.1:8080/control/enqueue?ssid=ABC123'

#include <signal.h>

#include <cstring>
#include <iostream>
#include <string>

#include "remote_stub.h"

namespace {

struct Arguments {
  std::string host = "127.0.0.1";
  int port = -1;
  std::string logPath;
};

bool IsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

int Usage(const char* problem) {
  std::cerr << "remote-stub: " << problem << "\n"
            << "usage: remote-stub --host 127.0.0.1 --port N [--log messages.jsonl]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return Usage(("missing value for " + option).c_str());
    const std::string value = argv[++i];
    if (option == "--host") {
      arguments.host = value;
    } else if (option == "--port") {
      const auto parsed = value.find_first_not_of("0123456789") == std::string::npos &&
                                  !value.empty() && value.size() <= 5
                              ? std::stoi(value)
                              : -1;
      if (parsed < 0 || parsed > 65535) return Usage("--port must be 0 to 65535");
      arguments.port = parsed;
    } else if (option == "--log") {
      arguments.logPath = value;
    } else {
      return Usage(("unknown option " + option).c_str());
    }
  }
  if (arguments.port < 0) return Usage("--port is required");
  // The control API can rewrite what the agent is told, so it never leaves the machine.
  if (!IsLoopback(arguments.host)) return Usage("--host must be a loopback address");

  // Blocked before any thread starts, so only sigwait below ever sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  morvanix::stub::RemoteStub stub({.summary = &std::cout, .logPath = arguments.logPath});
  const int port = stub.Start(arguments.host, arguments.port);
  if (port < 0) {
    std::cerr << "remote-stub: cannot listen on " << arguments.host << ':' << arguments.port
              << (arguments.logPath.empty() ? "" : " or open " + arguments.logPath) << '\n';
    return 1;
  }
  std::cout << "remote-stub listening on " << arguments.host << ':' << port << std::endl;

  int received = 0;
  sigwait(&stopSignals, &received);
  std::cout << "remote-stub stopping on " << ::strsignal(received) << std::endl;
  stub.Stop();
  return 0;
}
