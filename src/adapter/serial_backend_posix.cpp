// Serial backend over termios: the same observable behaviour as the Windows backend
// (exclusive open, raw line, flow control off, DTR/RTS low, 10 ms read poll, bounded write).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "adapter/serial_backend.h"
#include "adapter/serial_device_name.h"
#include "adapter/serial_termios_posix.h"

namespace morvanix {

namespace {

constexpr int kReadPollMs = 10;
constexpr int kSettleMs = 60;
constexpr int kWriteMsPerByte = 15;
constexpr int kWriteBaseMs = 100;

std::vector<std::string> DevEntries() {
  std::vector<std::string> names;
  DIR* dir = opendir("/dev");
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
  closedir(dir);
  return names;
}

class PosixSerialBackend final : public SerialBackend {
 public:
  ~PosixSerialBackend() override { Close(); }

  int Open(const std::string& portName, const SerialLineSettings& line) override {
    Close();
    const std::string path = ResolveSerialDevicePath(
        portName, std::getenv("MORVANIX_SERIAL_DIR"),
        ComPortNumber(portName) ? DevEntries() : std::vector<std::string>());
    if (path.empty()) return 1;
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return 1;
    // TIOCEXCL keeps other users out; it does not hold against privileged processes, so an
    // advisory lock backs it. A file that is no terminal fails later, at the purge.
    if (ioctl(fd_, TIOCEXCL) == 0) {
      exclusive_ = true;
    } else if (errno != ENOTTY) {
      Release();
      return 1;
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      Release();
      return 1;
    }
    if (tcflush(fd_, TCIOFLUSH) != 0) return 2;
    termios found{};
    if (tcgetattr(fd_, &found) != 0) return 3;
    saved_ = found;
    termios wanted = found;
    const bool applied =
        morvanix::MakeLineSettings(line, wanted) && tcsetattr(fd_, TCSANOW, &wanted) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    if (!applied) return 4;
    termios readBack{};
    if (tcgetattr(fd_, &readBack) != 0) return 5;
    // The driver must not drive DTR or RTS; devices without modem lines refuse this.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd_, TIOCMBIC, &lines);
    ready_ = true;
    return 0;
  }

  void Close() override {
    if (fd_ < 0) return;
    Release();
  }

  bool Write(const char* data, std::size_t n) override {
    if (!ready_) return false;
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(kWriteMsPerByte * static_cast<long>(n) + kWriteBaseMs);
    std::size_t sent = 0;
    while (sent < n) {
      const ssize_t w = ::write(fd_, data + sent, n - sent);
      if (w > 0) {
        sent += static_cast<std::size_t>(w);
        continue;
      }
      if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLOUT, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
      if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;
    }
    return true;
  }

  char ReadChar(bool& gotByte) override {
    gotByte = false;
    if (!ready_) return rxByte_;
    if (ReadOne()) {
      gotByte = true;
      return rxByte_;
    }
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kReadPollMs) > 0 && (p.revents & POLLIN) != 0) gotByte = ReadOne();
    return rxByte_;
  }

  bool SetModemLine(ModemControlLine which, bool on) override {
    if (!ready_) return false;
    int bits = which == ModemControlLine::kRts ? TIOCM_RTS : TIOCM_DTR;
    return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
  }

  bool GetModemStatus(std::uint32_t& status) override {
    status = 0;
    int bits = 0;
    if (!ready_ || ioctl(fd_, TIOCMGET, &bits) != 0) return false;
    if ((bits & TIOCM_CTS) != 0) status |= kModemCtsOn;
    if ((bits & TIOCM_DSR) != 0) status |= kModemDsrOn;
    if ((bits & TIOCM_RI) != 0) status |= kModemRingOn;
    if ((bits & TIOCM_CD) != 0) status |= kModemRlsdOn;
    return true;
  }

 private:
  bool ReadOne() {
    char byte = 0;
    const ssize_t r = ::read(fd_, &byte, 1);
    if (r != 1) return false;
    rxByte_ = byte;
    return true;
  }

  void Release() {
    if (saved_) (void)tcsetattr(fd_, TCSANOW, &*saved_);
    // The exclusive flag belongs to the terminal, not to this descriptor: clear it, or the
    // device stays locked for everyone while another holder keeps it open.
    if (exclusive_) (void)ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also drops the advisory lock
    fd_ = -1;
    saved_.reset();
    exclusive_ = false;
    ready_ = false;
  }

  int fd_ = -1;
  char rxByte_ = '\0';
  bool exclusive_ = false;
  bool ready_ = false;
  std::optional<termios> saved_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakePlatformSerialBackend() {
  return std::make_unique<PosixSerialBackend>();
}

}  // namespace morvanix
