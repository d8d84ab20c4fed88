#include "diagnose/diagnose_checks.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "adapter/adapter_candidates.h"
#include "adapter/local_ipv4.h"
#include "base/log_path.h"
#include "base/stop_token.h"
#include "remote/remote_endpoint.h"
#if defined(MORVANIX_REMOTE_TLS)
#include "remote/tls_client_context.h"
#include "remote/tls_session.h"
#endif

namespace morvanix {

namespace {

// A terminal program: Ctrl-C ends the whole process, so its probes wait for no stop.
const StopToken kNoStop;

constexpr int kLoopbackPort = 8070;
constexpr auto kConnectBound = std::chrono::seconds(10);
constexpr std::size_t kLogLinesShown = 5;
constexpr std::streamoff kLogTailBytes = 8192;

#if defined(MORVANIX_REMOTE_TLS)
constexpr bool kTls = true;
#else
constexpr bool kTls = false;
#endif

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
  const char* hostOverride = std::getenv("MORVANIX_REMOTE_HOST");
  const char* portOverride = std::getenv("MORVANIX_REMOTE_PORT");
  std::vector<std::string> reports;
  const RemoteEndpoint endpoint = detail::ApplyRemoteEndpointOverrides(
      BuiltInRemoteEndpoint(), hostOverride, portOverride,
      [&reports](const char* text) { reports.emplace_back(text); });
  for (const std::string& report : reports) Emit(out, {Verdict::kNote, report});
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
  // This run's own: its one handshake, with the trust store parsed for it.
  TlsClientContext context;
  handshake = [&](SocketHandle sock) {
    std::string failure;
    const auto session = TlsSession::Open(context, sock, endpoint.host, endpoint.port,
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

// The adapter the user named, tried first by the agent.
void CheckNamedAdapter(std::ostream& out, Findings& findings) {
  std::vector<std::string> reports;
  const std::optional<NamedAdapter> named =
      detail::NamedAdapterFrom(std::getenv("MORVANIX_ADAPTER"),
                               [&reports](const char* text) { reports.emplace_back(text); });
  for (const std::string& report : reports) Emit(out, {Verdict::kFail, report});
  if (!named) {
    if (reports.empty()) {
      Emit(out, {Verdict::kNote, "MORVANIX_ADAPTER: not set, the agent searches for the adapter"});
    }
    return;
  }
  const PortProbe probe = ProbeCandidate(named->portName, kNoStop);
  Emit(out, NamedAdapterLine(*named, probe));
  if (probe.verdict == ProbeVerdict::kAdapter && findings.adapterAt.empty()) {
    findings.adapterAt = named->given;
  }
}

void CheckSerial(std::ostream& out, Findings& findings) {
  std::string source;
  const std::vector<ListedSerialPort> ports = ListSerialPorts(&source);
  findings.anySerialDevice = !ports.empty();
  if (ports.empty()) {
    Emit(out, {Verdict::kFail, "serial devices: none present (looked at " + source + ")"});
    return;
  }
  std::string list;
  for (const ListedSerialPort& p : ports) {
    list += (list.empty() ? "COM" : ", COM") + std::to_string(p.number) + " " + p.device;
  }
  Emit(out, {Verdict::kNote, "serial devices from " + source + ": " + list});
  for (const ListedSerialPort& p : ports) {
    const PortProbe probe = ProbePort(ComDeviceName(p.number), kNoStop);
    Emit(out, SerialProbeLine(p, probe));
    if (probe.verdict == ProbeVerdict::kAdapter && findings.adapterAt.empty()) {
      findings.adapterAt = "COM" + std::to_string(p.number);
    }
    if (probe.verdict == ProbeVerdict::kBusy && findings.busyPort == 0) {
      findings.busyPort = p.number;
    }
  }
}

// The Wi-Fi adapter, which the agent tries only on its access point's network.
void CheckWifi(std::ostream& out, Findings& findings) {
  const std::vector<std::uint32_t> addresses = LocalIpv4Addresses();
  Emit(out, WifiNetworkLine(addresses));
  if (!OnWifiAdapterNetwork(addresses)) return;
  const PortProbe probe = ProbeCandidate(kWifiAdapterLink, kNoStop);
  Emit(out, WifiAdapterLine(probe));
  if (probe.verdict == ProbeVerdict::kAdapter && findings.adapterAt.empty()) {
    findings.adapterAt = kWifiAdapterAddress;
  }
}

// The BLE devices the Bluetooth stack knows that may be adapters, each probed as the agent
// would (the agent's LE scan, up to 4 s, is left out here).
void CheckBle(std::ostream& out, Findings& findings) {
  const std::unique_ptr<BleCandidateSource> source = MakePlatformBleCandidateSource();
  const std::vector<BleCandidate> candidates =
      source ? source->Known(Deadline::After(std::chrono::seconds(4)), kNoStop)
             : std::vector<BleCandidate>{};
  Emit(out, BleStackLine(source != nullptr, candidates.size()));
  for (const BleCandidate& candidate : candidates) {
    const PortProbe probe = ProbeCandidate(kBleLinkScheme + candidate.address, kNoStop);
    Emit(out, BleProbeLine(candidate, probe));
    if (probe.verdict == ProbeVerdict::kAdapter && findings.adapterAt.empty()) {
      findings.adapterAt = "BLE " + candidate.address;
    }
  }
}

// What a probe found, after the name of the device it was made on.
std::string ProbeWords(const PortProbe& probe, bool serial) {
  const std::string rate = serial ? " at " + std::to_string(probe.baudRate) + " baud" : "";
  std::string text;
  switch (probe.verdict) {
    case ProbeVerdict::kAdapter:
      text = ": adapter \"" + probe.banner + "\"" + rate;
      break;
    case ProbeVerdict::kNotAdapter:
      text = ": answers but is not an adapter";
      break;
    case ProbeVerdict::kSilent:
      text = ": silent";
      break;
    case ProbeVerdict::kBusy:
      text = ": busy (held by another program, probably the running agent)";
      break;
    case ProbeVerdict::kCannotOpen:
      text = (serial ? ": cannot be opened: " : ": no connection: ") + probe.openError;
      break;
  }
  if (!probe.answer.empty()) {
    text += "; answered \"" + Printable(probe.answer) + "\"";
    if (probe.verdict != ProbeVerdict::kAdapter) text += rate;
  }
  return text;
}

Verdict ProbeVerdictLine(const PortProbe& probe) {
  return probe.verdict == ProbeVerdict::kAdapter ? Verdict::kOk : Verdict::kNote;
}

}  // namespace

std::string BuildSettings() {
  const RemoteEndpoint builtIn = BuiltInRemoteEndpoint();
  return std::string("built for the remote server ") + (kTls ? "https://" : "http://") +
         builtIn.host + ":" + std::to_string(builtIn.port) + (kTls ? ", TLS on" : ", TLS off");
}

CheckLine SerialProbeLine(const ListedSerialPort& port, const PortProbe& probe) {
  return {ProbeVerdictLine(probe),
          "COM" + std::to_string(port.number) + " (" + port.device + ")" + ProbeWords(probe, true)};
}

CheckLine NamedAdapterLine(const NamedAdapter& named, const PortProbe& probe) {
  const Verdict verdict = probe.verdict == ProbeVerdict::kAdapter ? Verdict::kOk : Verdict::kFail;
  return {verdict, "MORVANIX_ADAPTER " + named.given + " (tried first)" +
                       ProbeWords(probe, !named.tcp && !named.ble)};
}

CheckLine BleStackLine(bool stack, std::size_t candidates) {
  if (!stack) {
    return {Verdict::kNote,
            "Bluetooth LE: no Bluetooth stack to ask (Linux: BlueZ on the system bus; Windows: "
            "BluetoothApis.dll and a paired LE device), so the agent tries no BLE adapter"};
  }
  if (candidates == 0) {
    return {Verdict::kNote,
            "Bluetooth LE: no known device with an adapter's service or name (on Linux the agent "
            "also scans for up to 4 s; this program does not)"};
  }
  return {Verdict::kNote, "Bluetooth LE: " + std::to_string(candidates) + " known device" +
                              (candidates == 1 ? "" : "s") + " with an adapter's service or name"};
}

CheckLine BleProbeLine(const BleCandidate& candidate, const PortProbe& probe) {
  const std::string name = candidate.name.empty() ? "" : " \"" + Printable(candidate.name) + "\"";
  return {ProbeVerdictLine(probe), "BLE " + candidate.address + name + ProbeWords(probe, false)};
}

CheckLine WifiNetworkLine(const std::vector<std::uint32_t>& addresses) {
  for (std::uint32_t a : addresses) {
    if (!OnWifiAdapterNetwork({a})) continue;
    return {Verdict::kNote, "Wi-Fi: this computer has " + std::to_string(a >> 24) + "." +
                                std::to_string((a >> 16) & 0xFF) + "." +
                                std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF) +
                                " on 192.168.0.0/24, so the agent tries " + kWifiAdapterAddress};
  }
  return {Verdict::kNote,
          std::string("Wi-Fi: no address in 192.168.0.0/24 (not joined to a Wi-Fi adapter's "
                      "access point), so the agent does not try ") +
              kWifiAdapterAddress};
}

CheckLine WifiAdapterLine(const PortProbe& probe) {
  return {ProbeVerdictLine(probe),
          std::string("Wi-Fi adapter ") + kWifiAdapterAddress + ProbeWords(probe, false)};
}

std::string SummarySentence(const Findings& f) {
  std::string serial;
  if (!f.adapterAt.empty()) {
    serial = "the adapter answers on " + f.adapterAt;
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
  const bool ready = !f.adapterAt.empty() && f.remoteReachable;
  return (ready ? "Ready: " : "Not ready: ") + serial + ", and " + remote + ".";
}

int RunDiagnosis(std::ostream& out) {
  Findings findings;
  CheckProgramAndAgent(out);
  Emit(out, AgentServiceCheck());
  Emit(out, LoopbackPortCheck(kLoopbackPort));
  findings.remoteReachable = CheckRemote(out, findings);
  // In the order the agent looks.
  CheckNamedAdapter(out, findings);
  CheckSerial(out, findings);
  CheckWifi(out, findings);
  CheckBle(out, findings);
  const bool ready = !findings.adapterAt.empty() && findings.remoteReachable;
  Emit(out, {ready ? Verdict::kOk : Verdict::kFail, SummarySentence(findings)});
  return ready ? 0 : 1;
}

}  // namespace morvanix
