#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "adapter/serial_backend.h"
#include "base/deadline.h"
#include "base/stop_token.h"

namespace morvanix {

// A connection to a known adapter takes a second or two; one out of range would hold the
// stack for its own LE connection time-out (tens of seconds), so the agent gives up first.
inline constexpr std::chrono::milliseconds kBleConnectBound{5000};
// The LE scan when no known device was the adapter: it ends as soon as a candidate appears.
inline constexpr std::chrono::milliseconds kBleScanBound{4000};
// The whole BLE part of a check, known candidates, scan, connects and probes together. Room
// for the worst usual case: a known adapter out of range (its connect bound, 5 s), then the
// scan (4 s) and the adapter it finds connected (a second or two) and reset (about 1 s). More
// would let a long list of known devices hold the check, and the adapter's lock, for minutes.
// Only letting go of the last candidate or the scan (a second at most each) comes on top.
inline constexpr std::chrono::milliseconds kBleStepBound{12000};

// "ble:<address>" names a BLE adapter by its device address (00:1D:A5:68:98:8A).
inline constexpr const char* kBleLinkScheme = "ble:";
bool IsBleLinkName(const std::string& name);
// The address of a "ble:<address>" name: six pairs of hex digits with colons, upper-cased;
// empty for any other name.
std::string BleLinkAddress(const std::string& name);

// A BLE adapter behind the serial backend's interface: Open("ble:<address>") connects the
// device, chooses its characteristics and starts their notifications; writes go out in
// 20-byte chunks, reads take the notifications. The line settings mean nothing, there are no
// modem lines, and a disconnect is a lost device. The stop ends a connect at once; connectBy
// ends it sooner than kBleConnectBound when it comes first. Null on a platform without a
// BLE link.
std::unique_ptr<SerialBackend> MakeBleLinkBackend(const StopToken& stop,
                                                  const Deadline& connectBy = Deadline::Never());

// A device that may be an adapter: a known service or a matching name.
struct BleCandidate {
  std::string address;
  std::string name;
};

// The platform's Bluetooth stack as discovery sees it.
class BleCandidateSource {
 public:
  virtual ~BleCandidateSource() = default;
  // The devices the stack already knows, candidates only, in the stack's order.
  virtual std::vector<BleCandidate> Known(const Deadline& deadline, const StopToken& stop) = 0;
  // Scans for LE devices with a known service until one that is not in `tried` appears, the
  // deadline or the stop; the scan is stopped before it returns. Nothing when no adapter is
  // powered (a powered-off one is left so).
  virtual std::vector<BleCandidate> Scan(const std::vector<std::string>& tried,
                                         const Deadline& deadline, const StopToken& stop) = 0;
};

// Null, quickly and silently, when there is no Bluetooth stack to ask (no system bus, no
// BlueZ on it; on Windows for now). It asks the stack what it knows once, bounded.
std::unique_ptr<BleCandidateSource> MakePlatformBleCandidateSource();

}  // namespace morvanix
