#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

// A pseudo-terminal whose master the test reads and writes directly; the slave is kept
// open so that the port under test can open and close it freely.
class PtyPair {
 public:
  PtyPair() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    path = ptsname(master);
    slaveHold = ::open(path.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(slaveHold, &tio);
    cfmakeraw(&tio);
    tcsetattr(slaveHold, TCSANOW, &tio);
  }
  ~PtyPair() {
    if (slaveHold >= 0) ::close(slaveHold);
    if (master >= 0) ::close(master);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master >= 0 && slaveHold >= 0; }

  // Whatever the slave side wrote within the wait, up to max bytes.
  std::string ReadMaster(std::size_t max, int waitMs = 200) const {
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (out.size() < max && std::chrono::steady_clock::now() < end) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::read(master, buffer, std::min(sizeof buffer, max - out.size()));
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  void WriteMaster(const std::string& bytes) const {
    (void)!::write(master, bytes.data(), bytes.size());
  }

  int master = -1;
  int slaveHold = -1;
  std::string path;
};
