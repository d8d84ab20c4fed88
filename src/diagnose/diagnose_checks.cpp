#include "diagnose/diagnose_checks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "base/log_path.h"
#include "remote/remote_endpoint.h"
#if defined(MORVANIX_REMOTE_TLS)
#include "remote/tls_session.h"
#endif

namespace morvanix {

namespace {

constexpr int kLoopbackPort = 8070;
constexpr auto kConnectBound = std::chrono::seconds(10);
constexpr std::size_t kLogLinesShown = 5;
constexpr std::streamoff kLogTailBytes = 8192;

#if defined(MORVANIX_REMOTE_TLS)
constexpr bool kTls = true;
#else
constexpr bool kTls = false;
#endif

std::vector<std::string> overrideReports;

void KeepOverrideReport(const char* text) {
  overrideReports.emplace_back(text);
}

std::string Decimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The last few lines of the file, reading no more than its tail.
std::vector<std::string> LastLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in.tellg();
  in.seekg(std::max<std::streamoff>(0, size - kLogTailBytes));
  std::vector<std::string> lines;
  bool first = true;
  for (std::string line; std::getline(in, line); first = false) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // A line cut by the seek is no line; the agent's entries have blank lines in them.
    if ((first && size > kLogTailBytes) || line.empty()) continue;
    lines.push_back(line);
  }
  if (lines.size() > kLogLinesShown) lines.erase(lines.begin(), lines.end() - kLogLinesShown);
  return lines;
}

void Emit(std::ostream& out, const CheckLine& line) {
  out << FormatCheckLine(line) << '\n' << std::flush;
}

void CheckProgramAndAgent(std::ostream& out) {
  Emit(out, {Verdict::kOk, "morvanix-diagnose " MORVANIX_VERSION ", " + BuildSettings()});
  const std::string self = OwnExecutablePath();
  const std::filesystem::path folder = std::filesystem::path(self).parent_path();
  const std::filesystem::path agent = folder / kAgentExecutableName;
  std::error_code error;
  if (std::filesystem::exists(agent, error)) {
    Emit(out, {Verdict::kOk, "agent executable " + agent.string() + " (it reports no version; it " +
                                 "ships with this program, version " MORVANIX_VERSION ")"});
  } else {
    Emit(out,
         {Verdict::kNote, "agent executable: none next to this program in " + folder.string()});
  }

  char logPath[kLogPathCapacity];
  if (!ComputeLogPath(self, logPath)) {
    Emit(out, {Verdict::kNote, "event log: its path does not fit the agent's limit"});
    return;
  }
  const std::uintmax_t size = std::filesystem::file_size(logPath, error);
  if (error) {
    Emit(out, {Verdict::kNote, std::string("event log ") + logPath + ": not there (" +
                                   error.message() + "); the agent writes it once it runs"});
    return;
  }
  Emit(out, {Verdict::kOk, std::string("event log ") + logPath + ": " + std::to_string(size) +
                               " bytes, its last lines:"});
  for (const std::string& line : LastLines(logPath)) Emit(out, {Verdict::kNote, "log: " + line});
}

bool CheckRemote(std::ostream& out, Findings& findings) {
  overrideReports.clear();
  const char* hostOverride = std::getenv("MORVANIX_REMOTE_HOST");
  const char* portOverride = std::getenv("MORVANIX_REMOTE_PORT");
  const RemoteEndpoint endpoint = detail::ApplyRemoteEndpointOverrides(
      BuiltInRemoteEndpoint(), hostOverride, portOverride, KeepOverrideReport);
  for (const std::string& report : overrideReports) Emit(out, {Verdict::kNote, report});
  const std::string where = endpoint.host + ":" + std::to_string(endpoint.port);
  findings.remote = where;
  Emit(out, {Verdict::kNote,
             "remote server " + std::string(kTls ? "https://" : "http://") + where +
                 (hostOverride || portOverride ? " (MORVANIX_REMOTE_HOST/MORVANIX_REMOTE_PORT set)"
                                               : " (built in)")});

  // The handshake runs on the one connection, as the agent's posts do; nothing is sent after it.
  CheckLine tls{Verdict::kNote, "TLS: off in this build, no handshake to check"};
  std::function<void(SocketHandle)> handshake;
#if defined(MORVANIX_REMOTE_TLS)
  handshake = [&](SocketHandle sock) {
    std::string failure;
    const auto session = TlsSession::Open(sock, endpoint.host, endpoint.port,
                                          Deadline::After(kConnectBound), StopToken(), &failure);
    if (session) {
      tls = {Verdict::kOk, "TLS: handshake done (" + session->Version() +
                               "), certificate valid for " + endpoint.host};
    } else {
      tls = {Verdict::kFail, "TLS: handshake failed: " +
                                 (failure.empty() ? "no answer within " +
                                                        std::to_string(kConnectBound.count()) + " s"
                                                  : failure)};
    }
  };
#endif
  const ConnectResult result = ConnectOnce(endpoint.host, endpoint.port, kConnectBound, handshake);
  if (!result.resolveError.empty()) {
    Emit(out, {Verdict::kFail,
               "remote host " + endpoint.host + ": cannot be resolved: " + result.resolveError});
    return false;
  }
  std::string addresses;
  for (const std::string& address : result.addresses) {
    addresses += (addresses.empty() ? "" : ", ") + address;
  }
  Emit(out, {Verdict::kOk, "remote host " + endpoint.host + ": " + addresses});
  const std::string target =
      "remote server " + result.address + " port " + std::to_string(endpoint.port);
  if (!result.connected) {
    Emit(out, {Verdict::kFail, target + ": no TCP connection: " + result.connectError + " (after " +
                                   Decimal(result.milliseconds) + " ms)"});
    return false;
  }
  Emit(out, {Verdict::kOk, target + ": TCP connection made in " + Decimal(result.milliseconds) +
                               " ms (nothing sent)"});
  Emit(out, tls);
  return tls.verdict != Verdict::kFail;
}

void CheckSerial(std::ostream& out, Findings& findings) {
  std::string source;
  const std::vector<SerialCandidate> candidates = SerialCandidates(source);
  findings.anySerialDevice = !candidates.empty();
  if (candidates.empty()) {
    Emit(out, {Verdict::kFail, "serial devices: none present (looked at " + source + ")"});
    return;
  }
  std::string list;
  for (const SerialCandidate& c : candidates) {
    list += (list.empty() ? "COM" : ", COM") + std::to_string(c.number) + " " + c.device;
  }
  Emit(out, {Verdict::kNote, "serial devices from " + source + ": " + list});
  for (const SerialCandidate& c : candidates) {
    const PortProbe probe = ProbePort("\\\\.\\COM" + std::to_string(c.number));
    Emit(out, SerialProbeLine(c, probe));
    const bool inScan = c.number >= kScanFirstPort && c.number <= kScanLastPort;
    if (inScan && probe.verdict == ProbeVerdict::kAdapter && findings.adapterPort == 0) {
      findings.adapterPort = c.number;
    }
    if (inScan && probe.verdict == ProbeVerdict::kBusy && findings.busyPort == 0) {
      findings.busyPort = c.number;
    }
  }
}

}  // namespace

std::string BuildSettings() {
  const RemoteEndpoint builtIn = BuiltInRemoteEndpoint();
  return std::string("built for the remote server ") + (kTls ? "https://" : "http://") +
         builtIn.host + ":" + std::to_string(builtIn.port) + (kTls ? ", TLS on" : ", TLS off");
}

CheckLine SerialProbeLine(const SerialCandidate& candidate, const PortProbe& probe) {
  const bool inScan = candidate.number >= kScanFirstPort && candidate.number <= kScanLastPort;
  std::string text = "COM" + std::to_string(candidate.number) + " (" + candidate.device + ")";
  if (!inScan) text += ", outside the agent's scan of COM1 to COM16";
  Verdict verdict = Verdict::kNote;
  switch (probe.verdict) {
    case ProbeVerdict::kAdapter:
      text += ": adapter \"" + probe.banner + "\" at " + std::to_string(probe.baudRate) + " baud";
      if (inScan) verdict = Verdict::kOk;
      break;
    case ProbeVerdict::kNotAdapter:
      text += ": answers but is not an adapter";
      break;
    case ProbeVerdict::kSilent:
      text += ": silent";
      break;
    case ProbeVerdict::kBusy:
      text += ": busy (held by another program, probably the running agent)";
      break;
    case ProbeVerdict::kCannotOpen:
      text += ": cannot be opened: " + probe.openError;
      break;
  }
  if (!probe.answer.empty()) {
    text += "; answered \"" + Printable(probe.answer) + "\"";
    if (probe.verdict != ProbeVerdict::kAdapter)
      text += " at " + std::to_string(probe.baudRate) + " baud";
  }
  return {verdict, text};
}

std::string SummarySentence(const Findings& f) {
  std::string serial;
  if (f.adapterPort != 0) {
    serial = "the adapter answers on COM" + std::to_string(f.adapterPort);
  } else if (f.busyPort != 0) {
    serial = "no adapter could be probed on the serial side, COM" + std::to_string(f.busyPort) +
             " is busy (probably held by the running agent: stop it and run this again)";
  } else if (!f.anySerialDevice) {
    serial = "no adapter on the serial side, no serial device is present";
  } else {
    serial = "no adapter answers on the serial side";
  }
  const std::string remote = "the remote server " + f.remote +
                             (f.remoteReachable ? " is reachable" : " cannot be reached");
  const bool ready = f.adapterPort != 0 && f.remoteReachable;
  return (ready ? "Ready: " : "Not ready: ") + serial + ", and " + remote + ".";
}

int RunDiagnosis(std::ostream& out) {
  Findings findings;
  CheckProgramAndAgent(out);
  Emit(out, AgentServiceCheck());
  Emit(out, LoopbackPortCheck(kLoopbackPort));
  findings.remoteReachable = CheckRemote(out, findings);
  CheckSerial(out, findings);
  Emit(out, {findings.adapterPort != 0 && findings.remoteReachable ? Verdict::kOk : Verdict::kFail,
             SummarySentence(findings)});
  return findings.adapterPort != 0 && findings.remoteReachable ? 0 : 1;
}

}  // namespace morvanix
