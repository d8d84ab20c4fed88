#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

#include "temp_folder.h"

// A D-Bus daemon of the test's own, with a configuration that lets every client own and call
// anything: the fake Bluetooth stack and the agent meet there, never on the machine's bus.
class PrivateBus {
 public:
  PrivateBus() = default;
  ~PrivateBus();  // Stop()
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // Starts dbus-daemon and waits (up to `wait`) for the address it prints. False when it
  // did not start; error() says why.
  bool Start(std::chrono::milliseconds wait = std::chrono::seconds(10));
  void Stop();

  // "unix:path=...", for DBUS_SYSTEM_BUS_ADDRESS.
  const std::string& Address() const { return address_; }
  const std::string& error() const { return error_; }

 private:
  TempFolder folder_;
  pid_t pid_ = -1;
  std::string address_;
  std::string error_;
};

// An address where no bus listens: a test that wants no Bluetooth stack at all, and no
// chance of reaching the machine's own bus, sets DBUS_SYSTEM_BUS_ADDRESS to it.
inline constexpr const char* kNoBusAddress = "unix:path=/nonexistent/morvanix-test-bus";
