#include "adapter/adapter_discovery.h"

#include <optional>
#include <string_view>

#include "adapter/answer_collector.h"

namespace morvanix {

namespace {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 16;
constexpr std::int32_t kAdapterBaudRate = 38400;
constexpr int kMaxDiscardPolls = 100;
constexpr morvanix::CollectLimits kProbeLimits{200, 30, 0};
constexpr const char* kResetCommand = "ATZ\r";
constexpr std::string_view kResetEcho = "ATZ";

std::string ComDeviceName(int n) {
  return "\\\\.\\COM" + std::to_string(n);
}

// The identification text of the adapter on port n, or nothing when no adapter answered.
std::optional<std::string> Probe(SerialPort& probe, int n) {
  probe.SetPortName(ComDeviceName(n));
  probe.SetBaudRate(kAdapterBaudRate);
  const int opened = probe.Open();
  if (opened != 0) {
    // A failed configuration keeps the device; release it so the next number gets its own.
    probe.Close();
    return std::nullopt;
  }
  morvanix::DiscardStaleInput(probe, kMaxDiscardPolls);
  probe.Write(kResetCommand);
  const std::string answer = morvanix::CollectAnswer(probe, kProbeLimits);
  probe.Close();
  if (answer.compare(0, kResetEcho.size(), kResetEcho) != 0) return std::nullopt;
  return answer.substr(kResetEcho.size()) + " on COM" + std::to_string(n);
}

}  // namespace

std::optional<std::string> DiscoverAdapter(SerialPort* adapterPort,
                                           std::atomic<bool>* adapterConnected) {
  if (adapterPort != nullptr && adapterPort->IsOpen()) adapterPort->Close();
  if (adapterConnected != nullptr) adapterConnected->store(false);

  SerialPort probe;
  std::optional<std::string> discovered;
  int found = 0;
  for (int n = kFirstPort; n <= kLastPort && !discovered; ++n) {
    discovered = Probe(probe, n);
    found = n;
  }
  if (!discovered) return std::nullopt;

  if (adapterPort != nullptr) {
    adapterPort->SetPortName(ComDeviceName(found));
    adapterPort->SetBaudRate(kAdapterBaudRate);
    if (adapterPort->Open() == 0 && adapterConnected != nullptr) adapterConnected->store(true);
  }
  return discovered;
}

}  // namespace morvanix
