// remote-stub: plays the remote diagnostics server on a loopback address for tests and the
// demo. Every agent message is decoded, read with an independent JSON reader, recorded,
// printed as one line and optionally appended to a JSON Lines file.
//
//   remote-stub --host 127.0.0.1 --port N [--log messages.jsonl] [--page DIR]
//               [--tls-port N --tls-cert CERT.pem --tls-key KEY.pem] [--allow-test-net]
//
// --port 0 picks a free port. The first line printed is
//   remote-stub listening on 127.0.0.1:PORT
// and with --tls-port (0 picks a free port too) the second is
//   remote-stub listening on https://127.0.0.1:PORT
// The HTTPS listener serves the same routes on the same host. --page serves the files of DIR
// under "/" (the reference page in tools/remote_stub/page). --host must be a loopback address;
// --allow-test-net also allows 203.0.113.0/24 (for tests in a private network namespace).
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
//                                         ssid, message_type, text, parsed, encoded,
//                                         peer_port (one per connection)[, error]
//   GET  /control/wait-messages?count=N[&timeout_ms=T]
//                                         200 once N records are kept, 408 after T ms
//   POST /control/clear                   forget records, queues, fault and hold
//   POST /control/fault                   body {"kind":K, "count":N, ...} for the next N posts:
//        {"kind":"status","status":404,"body":"..."}   that status and body (200 + "" too)
//        {"kind":"delay","delay_ms":1500}               wait, then answer normally
//        {"kind":"close"}                               close without a byte
//        {"kind":"close-after-reply"}                   answer, then close unannounced
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
// The reference page's API (/app/session, /app/reading, /app/events) is documented at the top
// of page_api.h.
//
// Example:
//   curl -s --data-binary '{"id": 17, "command": "{\"01\":\"ATRV\"}"}'
//        'http://127.0.0.1:8080/control/enqueue?ssid=ABC123'

#include <signal.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "listen_address.h"
#include "remote_stub.h"
#include "tls_listener.h"

namespace {

struct Arguments {
  std::string host = "127.0.0.1";
  int port = -1;
  std::string logPath;
  std::string pageFolder;
  int tlsPort = -1;
  std::string tlsCertificate;
  std::string tlsKey;
  bool allowTestNet = false;
};

int Usage(const char* problem) {
  std::cerr << "remote-stub: " << problem << "\n"
            << "usage: remote-stub --host 127.0.0.1 --port N [--log messages.jsonl] [--page DIR]\n"
            << "         [--tls-port N --tls-cert CERT.pem --tls-key KEY.pem] [--allow-test-net]\n";
  return 2;
}

int PortNumber(const std::string& value) {
  return value.find_first_not_of("0123456789") == std::string::npos && !value.empty() &&
                 value.size() <= 5
             ? std::stoi(value)
             : -1;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--allow-test-net") {
      arguments.allowTestNet = true;
      continue;
    }
    if (i + 1 >= argc) return Usage(("missing value for " + option).c_str());
    const std::string value = argv[++i];
    if (option == "--host") {
      arguments.host = value;
    } else if (option == "--port" || option == "--tls-port") {
      const int parsed = PortNumber(value);
      if (parsed < 0 || parsed > 65535) return Usage((option + " must be 0 to 65535").c_str());
      (option == "--port" ? arguments.port : arguments.tlsPort) = parsed;
    } else if (option == "--log") {
      arguments.logPath = value;
    } else if (option == "--page") {
      arguments.pageFolder = value;
    } else if (option == "--tls-cert") {
      arguments.tlsCertificate = value;
    } else if (option == "--tls-key") {
      arguments.tlsKey = value;
    } else {
      return Usage(("unknown option " + option).c_str());
    }
  }
  if (arguments.port < 0) return Usage("--port is required");
  if ((arguments.tlsPort >= 0) != !arguments.tlsCertificate.empty() ||
      arguments.tlsCertificate.empty() != arguments.tlsKey.empty()) {
    return Usage("--tls-port, --tls-cert and --tls-key go together");
  }
  if (!morvanix::stub::ListenAddressAllowed(arguments.host, arguments.allowTestNet)) {
    return Usage(arguments.allowTestNet
                     ? "--host must be a loopback address or in 203.0.113.0/24"
                     : "--host must be a loopback address (see --allow-test-net)");
  }
  std::unique_ptr<httplib::Server> tlsServer;
  if (arguments.tlsPort >= 0) {
    std::string error;
    tlsServer = morvanix::stub::MakeTlsServer(arguments.tlsCertificate, arguments.tlsKey, &error);
    if (tlsServer == nullptr) {
      std::cerr << "remote-stub: " << error << '\n';
      return 1;
    }
  }

  // Blocked before any thread starts, so only sigwait below ever sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  morvanix::stub::RemoteStub stub(
      {.summary = &std::cout, .logPath = arguments.logPath, .pageFolder = arguments.pageFolder});
  const int port = stub.Start(arguments.host, arguments.port);
  if (port < 0) {
    std::cerr << "remote-stub: cannot listen on " << arguments.host << ':' << arguments.port
              << (arguments.logPath.empty() ? "" : " or open " + arguments.logPath)
              << (arguments.pageFolder.empty() ? ""
                                               : " or serve the folder " + arguments.pageFolder)
              << '\n';
    return 1;
  }
  std::cout << "remote-stub listening on " << arguments.host << ':' << port << std::endl;
  if (tlsServer != nullptr) {
    const int tlsPort = stub.AddListener(std::move(tlsServer), arguments.host, arguments.tlsPort);
    if (tlsPort < 0) {
      std::cerr << "remote-stub: cannot listen on " << arguments.host << ':' << arguments.tlsPort
                << " for HTTPS\n";
      stub.Stop();
      return 1;
    }
    std::cout << "remote-stub listening on https://" << arguments.host << ':' << tlsPort
              << std::endl;
  }

  int received = 0;
  sigwait(&stopSignals, &received);
  std::cout << "remote-stub stopping on " << ::strsignal(received) << std::endl;
  stub.Stop();
  return 0;
}
