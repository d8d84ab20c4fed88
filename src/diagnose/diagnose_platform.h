#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "base/socket_calls.h"
#include "diagnose/diagnose_text.h"

namespace morvanix {

// What the platform tells about the agent's surroundings. Each call reads only; none of
// them sends the agent anything.

// This program's own path (the agent's event log lies next to it in both packages).
std::string OwnExecutablePath();

// The agent's executable file name in the program's folder.
extern const char* const kAgentExecutableName;

// The state of the installed service: the systemd unit or the service control manager's entry.
CheckLine AgentServiceCheck();

// Whether 127.0.0.1:port is free, and which process holds it where the platform says so.
CheckLine LoopbackPortCheck(int port);

// One TCP connection to host:port, each resolved address in turn within `bound` in all,
// handed to `connected` (non-blocking) when made, and closed after.
struct ConnectResult {
  std::vector<std::string> addresses;  // every address the host resolved to
  std::string resolveError;            // set when it resolved to nothing
  std::string address;                 // the last one tried (the one connected when connected)
  bool connected = false;
  std::string connectError;  // the reason in words when not connected
  double milliseconds = 0;   // how long the connect took
};
ConnectResult ConnectOnce(const std::string& host, int port, std::chrono::milliseconds bound,
                          const std::function<void(SocketHandle)>& connected = nullptr);

// Windows: when the program has a console window of its own (started from its shortcut, not
// from a command prompt), asks for a key so the window stays until the report is read.
void WaitForKeyIfOwnConsole();

}  // namespace morvanix
