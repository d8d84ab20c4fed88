// Serial backend over termios: the same observable behaviour as the Windows backend
// (exclusive open, raw line, flow control off, DTR/RTS low, a read that returns what is
// there, bounded write).
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "adapter/serial_backend.h"
#include "adapter/serial_device_name.h"
#include "adapter/serial_termios_posix.h"
#include "base/folder_posix.h"
#include "base/wait.h"

namespace morvanix {

namespace {

constexpr int kWriteMsPerByte = 15;
constexpr int kWriteBaseMs = 100;

// The errors of a read or write that mean the device itself went away.
bool IsLossErrno(int e) {
  return e == EIO || e == ENXIO || e == ENODEV;
}

// USB serial bridges (FTDI and the like) hold the last bytes of an answer, the prompt
// among them, for their latency timer (16 ms) unless the port asks for low latency. Drivers
// without the setting (pseudo-terminals, most on-board ports) refuse it or ignore it; either
// is fine.
void AskForLowLatency(int fd) {
#ifdef __linux__
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  (void)ioctl(fd, TIOCSSERIAL, &serial);
#else
  (void)fd;
#endif
}

class PosixSerialBackend final : public SerialBackend {
 public:
  ~PosixSerialBackend() override { Close(); }

  int Open(const std::string& portName, const SerialLineSettings& line) override {
    Close();
    openError_ = {};
    const std::string path = ResolveSerialDevicePath(
        portName, std::getenv("MORVANIX_SERIAL_DIR"),
        ComPortNumber(portName) ? FolderEntries("/dev") : std::vector<std::string>());
    if (path.empty()) return Failed(1, ENOENT);
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return Failed(1, errno);
    // The open raised DTR and RTS; lower them before anything else, since a board that resets
    // on DTR restarts on every pulse. Devices without modem lines refuse this.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(fd_, TIOCMBIC, &lines);
    // TIOCEXCL keeps other users out; it does not hold against privileged processes, so an
    // advisory lock backs it. A file that is no terminal fails later, at the purge.
    if (ioctl(fd_, TIOCEXCL) == 0) {
      exclusive_ = true;
    } else if (errno != ENOTTY) {
      const int e = errno;
      Release();
      return Failed(1, e);
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      // Someone else's lock reads as "would block"; say what it means.
      const int e = errno == EWOULDBLOCK ? EBUSY : errno;
      Release();
      return Failed(1, e);
    }
    if (tcflush(fd_, TCIOFLUSH) != 0) return Failed(2, errno);
    termios found{};
    if (tcgetattr(fd_, &found) != 0) return Failed(3, errno);
    saved_ = found;
    termios wanted = found;
    const bool expressible = morvanix::MakeLineSettings(line, wanted);
    const bool applied = expressible && tcsetattr(fd_, TCSANOW, &wanted) == 0;
    const int applyErrno = expressible ? errno : EINVAL;
    if (!applied) return Failed(4, applyErrno);
    termios readBack{};
    if (tcgetattr(fd_, &readBack) != 0) return Failed(5, errno);
    // Leaving speed 0 raises the lines again on some drivers: lower them once more.
    (void)ioctl(fd_, TIOCMBIC, &lines);
    AskForLowLatency(fd_);
    ready_ = true;
    return 0;
  }

  void Close() override {
    if (fd_ < 0) return;
    Release();
  }

  bool Write(const char* data, std::size_t n, const Deadline&, const StopToken&) override {
    if (!ready_) return false;
    const Deadline deadline = Deadline::After(
        std::chrono::milliseconds(kWriteMsPerByte * static_cast<long>(n) + kWriteBaseMs));
    std::size_t sent = 0;
    while (sent < n) {
      const ssize_t w = ::write(fd_, data + sent, n - sent);
      if (w > 0) {
        sent += static_cast<std::size_t>(w);
        continue;
      }
      if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        if (IsLossErrno(errno)) lost_ = true;
        return false;
      }
      const WaitOutcome outcome = WaitFor(fd_, Readiness::kWrite, deadline, {});
      if (outcome == WaitOutcome::kHangUp) lost_ = true;
      if (outcome != WaitOutcome::kReady) return false;
    }
    return true;
  }

  std::size_t ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                       const StopToken& stop) override {
    if (!ready_ || n == 0) return 0;
    for (;;) {
      if (lost_) return 0;
      const std::size_t got = ReadHeld(buffer, n);
      if (got > 0 || lost_) return got;
      const WaitOutcome outcome = WaitFor(fd_, Readiness::kRead, deadline, stop);
      if (outcome == WaitOutcome::kHangUp) {
        // A hang-up can come with the last bytes: those are read first, the loss shows next.
        const std::size_t last = ReadHeld(buffer, n);
        if (last == 0) lost_ = true;
        return last;
      }
      if (outcome != WaitOutcome::kReady) return 0;
      // Readable yet nothing to read: a terminal that hung up reports both; anything else
      // was a spurious wake-up and the wait goes on.
      const std::size_t ready = ReadHeld(buffer, n);
      if (ready > 0 || lost_) return ready;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        lost_ = true;
        return 0;
      }
    }
  }

  bool SetModemLine(ModemControlLine which, bool on) override {
    if (!ready_) return false;
    int bits = which == ModemControlLine::kRts ? TIOCM_RTS : TIOCM_DTR;
    return ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0;
  }

  SerialOpenError LastOpenError() const override { return openError_; }
  bool DeviceLost() const override { return lost_; }

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
  // What the driver holds, up to n bytes, without waiting.
  std::size_t ReadHeld(char* buffer, std::size_t n) {
    for (;;) {
      const ssize_t r = ::read(fd_, buffer, n);
      if (r > 0) return static_cast<std::size_t>(r);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && IsLossErrno(errno)) lost_ = true;
      return 0;
    }
  }

  // Records why Open stopped at this step and returns the step's code.
  int Failed(int code, int e) {
    openError_ = {e == EBUSY, std::generic_category().message(e)};
    return code;
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
    lost_ = false;
  }

  int fd_ = -1;
  bool exclusive_ = false;
  bool ready_ = false;
  bool lost_ = false;
  SerialOpenError openError_;
  std::optional<termios> saved_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakePlatformSerialBackend() {
  return std::make_unique<PosixSerialBackend>();
}

}  // namespace morvanix
