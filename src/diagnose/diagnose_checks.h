#pragma once

#include <ostream>
#include <string>

#include "adapter/port_probe.h"
#include "diagnose/diagnose_platform.h"

namespace morvanix {

// The lowest and highest COM number the agent's scan tries.
inline constexpr int kScanFirstPort = 1;
inline constexpr int kScanLastPort = 16;

// What the summary is made of.
struct Findings {
  int adapterPort = 0;  // the COM number of the first adapter within the scan, or 0
  int busyPort = 0;     // the first busy device within the scan, or 0
  bool anySerialDevice = false;
  bool remoteReachable = false;
  std::string remote;  // host:port, for the sentence
};

// The last line: one sentence saying what works and what does not.
std::string SummarySentence(const Findings& findings);

// The line for one probed device.
CheckLine SerialProbeLine(const SerialCandidate& candidate, const PortProbe& probe);

// The scheme, host, port and TLS setting the build was made with, in a few words.
std::string BuildSettings();

// Runs every check, writing one line each as it finishes, then the summary. Returns the exit
// status: 0 when an adapter answered within the scan and the remote server took a connection.
int RunDiagnosis(std::ostream& out);

}  // namespace morvanix
