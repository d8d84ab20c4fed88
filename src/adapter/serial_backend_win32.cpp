// Serial backend over the Windows communications API, opened for overlapped I/O so that a
// read returns what is there, is waited on together with the stop, and can be left
// outstanding between calls. The waits and the cancellation live in OverlappedSerialIo; this
// file makes the system calls.
#include <windows.h>

#include <memory>
#include <string>

#include "adapter/overlapped_serial_io.h"
#include "adapter/serial_backend.h"
#include "base/wait.h"

namespace morvanix {

namespace {

static_assert(comm_error::kFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(comm_error::kAccessDenied == ERROR_ACCESS_DENIED);
static_assert(comm_error::kBadCommand == ERROR_BAD_COMMAND);
static_assert(comm_error::kGenFailure == ERROR_GEN_FAILURE);
static_assert(comm_error::kSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(comm_error::kOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(comm_error::kIoIncomplete == ERROR_IO_INCOMPLETE);
static_assert(comm_error::kIoPending == ERROR_IO_PENDING);
static_assert(comm_error::kDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED);
static_assert(comm_error::kDeviceRemoved == ERROR_DEVICE_REMOVED);

// A read waits this long for its first byte before it ends empty and a fresh one starts. It
// only bounds how long the driver keeps a read nobody waits for; the waits themselves end at
// the caller's deadline or stop.
constexpr DWORD kReadWaitMs = 1000;

// The system's text for an error code, without the trailing line break and full stop.
std::string ErrorText(DWORD e) {
  char* text = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, e, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string out = n > 0 && text != nullptr ? std::string(text, n) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!out.empty() &&
         (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.')) {
    out.pop_back();
  }
  if (out.empty()) out = "system error " + std::to_string(e);
  return out;
}

BYTE ParityCode(char letter) {
  switch (letter) {
    case 'O':
      return ODDPARITY;
    case 'E':
      return EVENPARITY;
    case 'M':
      return MARKPARITY;
    case 'S':
      return SPACEPARITY;
    default:
      return NOPARITY;
  }
}

BYTE StopBitsCode(float bits) {
  if (bits == 2.0f) return TWOSTOPBITS;
  if (bits == 1.5f) return ONE5STOPBITS;
  return ONESTOPBIT;
}

// What an outstanding read or write may still write into or read from. Kept on the heap so
// that a close whose cancel did not end them can leave the records alive instead of freed.
struct IoRecords {
  IoRecords() {
    ZeroMemory(&read, sizeof read);
    ZeroMemory(&write, sizeof write);
  }
  char rxBytes[OverlappedDevice::kReadChunk] = {};
  OVERLAPPED read;
  OVERLAPPED write;
  std::string writeBuffer;
};

IoResult Done(DWORD count) {
  return {IoState::kDone, count, 0};
}
IoResult Failure(DWORD error) {
  return {error == ERROR_IO_PENDING ? IoState::kPending : IoState::kFailed, 0, error};
}

class Win32Device final : public OverlappedDevice {
 public:
  Win32Device(HANDLE& handle, std::unique_ptr<IoRecords>& records)
      : handle_(handle), records_(records) {}

  std::size_t QueuedBytes() override {
    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    if (!ClearCommError(handle_, &errors, &status)) return 0;
    return status.cbInQue;
  }
  IoResult StartRead(std::size_t n) override {
    DWORD count = 0;
    if (ReadFile(handle_, records_->rxBytes, static_cast<DWORD>(n), &count, &records_->read)) {
      return Done(count);
    }
    return Failure(GetLastError());
  }
  WaitOutcome WaitRead(const Deadline& deadline, const StopToken& stop) override {
    return WaitFor(records_->read.hEvent, Readiness::kRead, deadline, stop);
  }
  IoResult CollectRead() override { return Collect(records_->read); }
  void CancelRead() override { (void)CancelIoEx(handle_, &records_->read); }
  const char* ReceivedBytes() const override { return records_->rxBytes; }

  IoResult StartWrite(const char* data, std::size_t n) override {
    records_->writeBuffer.assign(data, n);
    DWORD written = 0;
    if (WriteFile(handle_, records_->writeBuffer.data(), static_cast<DWORD>(n), &written,
                  &records_->write)) {
      return Done(written);
    }
    return Failure(GetLastError());
  }
  bool WaitWrite(std::uint32_t ms) override {
    return WaitForSingleObject(records_->write.hEvent, ms) == WAIT_OBJECT_0;
  }
  IoResult CollectWrite() override { return Collect(records_->write); }
  void CancelWrite() override { (void)CancelIoEx(handle_, &records_->write); }

 private:
  IoResult Collect(OVERLAPPED& record) {
    DWORD count = 0;
    if (GetOverlappedResult(handle_, &record, &count, FALSE)) return Done(count);
    const DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE) return {IoState::kPending, 0, error};
    // A cancelled read reports the bytes it had moved.
    return {IoState::kFailed, count, error};
  }

  HANDLE& handle_;
  std::unique_ptr<IoRecords>& records_;
};

class Win32SerialBackend final : public SerialBackend {
 public:
  Win32SerialBackend() { ZeroMemory(&savedTimeouts_, sizeof savedTimeouts_); }
  ~Win32SerialBackend() override { Close(); }

  int Open(const std::string& portName, const SerialLineSettings& line) override {
    if (handle_ != INVALID_HANDLE_VALUE) return 0;
    openError_ = {};
    handle_ = CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return Failed(1);
    // Some drivers raise DTR and RTS on open; a board that resets on DTR restarts on every
    // pulse, so lower them before anything else (a device without the lines refuses this).
    (void)EscapeCommFunction(handle_, CLRDTR);
    (void)EscapeCommFunction(handle_, CLRRTS);
    if (!PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
      return Failed(2);
    }
    // A line error left by the last user would otherwise stop all I/O (fAbortOnError).
    DWORD lineErrors = 0;
    (void)ClearCommError(handle_, &lineErrors, nullptr);
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) return Failed(3);
    dcb.BaudRate = static_cast<DWORD>(line.baudRate);
    dcb.ByteSize = static_cast<BYTE>(line.dataBits);
    dcb.Parity = ParityCode(line.parity);
    dcb.StopBits = StopBitsCode(line.stopBits);
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    // The rest of the line is set whole, not left as the last user had it: no input flow
    // control, no bytes held back by DSR, NULs kept, and errors do not abort I/O.
    dcb.fBinary = TRUE;
    dcb.fInX = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    const BOOL applied = SetCommState(handle_, &dcb);
    const DWORD applyError = GetLastError();
    if (!applied) return Failed(4, applyError);
    if (!GetCommState(handle_, &dcb)) return Failed(5);

    records_ = std::make_unique<IoRecords>();
    records_->read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (records_->read.hEvent == nullptr) return Failed(6);
    records_->write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (records_->write.hEvent == nullptr) return Failed(7);
    if (!GetCommTimeouts(handle_, &savedTimeouts_)) return Failed(8);
    timeoutsSaved_ = true;

    COMMTIMEOUTS timeouts;
    // A read completes at once with what is buffered, or on the first byte, or empty after
    // kReadWaitMs.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kReadWaitMs;
    timeouts.WriteTotalTimeoutMultiplier = 15;
    timeouts.WriteTotalTimeoutConstant = 100;
    if (!SetCommTimeouts(handle_, &timeouts)) return Failed(9);
    io_ = std::make_unique<OverlappedSerialIo>(device_);
    return 0;
  }

  void Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    // An outstanding read or write still targets the records: end them before they go.
    // Close may run on another thread than the one that started the read, so the cancel
    // names the record (CancelIoEx), and each wait is bounded.
    const bool ended = io_ == nullptr || io_->EndAll();
    if (timeoutsSaved_) (void)SetCommTimeouts(handle_, &savedTimeouts_);
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    if (records_ != nullptr) {
      if (ended) {
        if (records_->read.hEvent != nullptr) CloseHandle(records_->read.hEvent);
        if (records_->write.hEvent != nullptr) CloseHandle(records_->write.hEvent);
        records_.reset();
      } else {
        // A driver that ignored the cancel may still complete into them: leave them be.
        (void)records_.release();
      }
    }
    io_.reset();
    timeoutsSaved_ = false;
    lost_ = false;
  }

  bool Write(const char* data, std::size_t n, const Deadline&, const StopToken&) override {
    if (io_ == nullptr) return false;
    const bool ok = io_->Write(data, n);
    lost_ = lost_ || io_->Lost();
    return ok;
  }

  std::size_t ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                       const StopToken& stop) override {
    if (io_ == nullptr) return 0;
    const std::size_t got = io_->ReadSome(buffer, n, deadline, stop);
    lost_ = lost_ || io_->Lost();
    return got;
  }

  bool SetModemLine(ModemControlLine which, bool on) override {
    if (io_ == nullptr) return false;
    DWORD function = 0;
    if (which == ModemControlLine::kRts) {
      function = on ? SETRTS : CLRRTS;
    } else {
      function = on ? SETDTR : CLRDTR;
    }
    return EscapeCommFunction(handle_, function) != FALSE;
  }

  SerialOpenError LastOpenError() const override { return openError_; }
  bool DeviceLost() const override { return lost_; }

  bool GetModemStatus(std::uint32_t& status) override {
    status = 0;
    DWORD bits = 0;
    if (io_ == nullptr || !GetCommModemStatus(handle_, &bits)) return false;
    status = static_cast<std::uint32_t>(bits);
    return true;
  }

 private:
  // Records why Open stopped at this step and returns the step's code.
  int Failed(int code, DWORD e = GetLastError()) {
    openError_ = {e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION, ErrorText(e)};
    return code;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::unique_ptr<IoRecords> records_;
  Win32Device device_{handle_, records_};
  // Present exactly while the port is ready (Open returned 0).
  std::unique_ptr<OverlappedSerialIo> io_;
  COMMTIMEOUTS savedTimeouts_;
  bool timeoutsSaved_ = false;
  bool lost_ = false;
  SerialOpenError openError_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakePlatformSerialBackend() {
  return std::make_unique<Win32SerialBackend>();
}

}  // namespace morvanix
