// Serial backend over the Windows communications API, opened for overlapped I/O so that a
// one-byte read can be polled with a 10 ms wait and left outstanding between polls.
#include <windows.h>

#include <memory>
#include <string>

#include "adapter/serial_backend.h"

namespace morvanix {

namespace {

constexpr DWORD kReadPollMs = 10;
constexpr DWORD kSettleMs = 60;

// The errors of a read or write that mean the device went away (a USB adapter pulled out).
// ERROR_OPERATION_ABORTED is not among them: that is our own cancel.
bool IsLossError(DWORD e) {
  switch (e) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_DEVICE_NOT_CONNECTED:
      return true;
    default:
      return false;
  }
}

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

class Win32SerialBackend final : public SerialBackend {
 public:
  Win32SerialBackend() {
    ZeroMemory(&readOverlapped_, sizeof readOverlapped_);
    ZeroMemory(&writeOverlapped_, sizeof writeOverlapped_);
    ZeroMemory(&savedTimeouts_, sizeof savedTimeouts_);
  }
  ~Win32SerialBackend() override { Close(); }

  int Open(const std::string& portName, const SerialLineSettings& line) override {
    if (handle_ != INVALID_HANDLE_VALUE) return 0;
    handle_ = CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    openError_ = {};
    if (handle_ == INVALID_HANDLE_VALUE) return Failed(1);
    if (!PurgeComm(handle_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
      return Failed(2);
    }
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
    const BOOL applied = SetCommState(handle_, &dcb);
    const DWORD applyError = GetLastError();
    Sleep(kSettleMs);
    if (!applied) return Failed(4, applyError);
    if (!GetCommState(handle_, &dcb)) return Failed(5);

    ZeroMemory(&readOverlapped_, sizeof readOverlapped_);
    readOverlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (readOverlapped_.hEvent == nullptr) return Failed(6);
    ZeroMemory(&writeOverlapped_, sizeof writeOverlapped_);
    readPending_ = FALSE;
    writeOverlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (writeOverlapped_.hEvent == nullptr) return Failed(7);
    if (!GetCommTimeouts(handle_, &savedTimeouts_)) return Failed(8);
    timeoutsSaved_ = true;

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 20;
    timeouts.ReadTotalTimeoutMultiplier = 15;
    timeouts.ReadTotalTimeoutConstant = 100;
    timeouts.WriteTotalTimeoutMultiplier = 15;
    timeouts.WriteTotalTimeoutConstant = 100;
    if (!SetCommTimeouts(handle_, &timeouts)) return Failed(9);
    ready_ = true;
    return 0;
  }

  void Close() override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    if (timeoutsSaved_) (void)SetCommTimeouts(handle_, &savedTimeouts_);
    // An outstanding read still targets rxByte_ and readOverlapped_: end it before they go.
    if (readPending_) {
      (void)CancelIo(handle_);
      DWORD count = 0;
      (void)GetOverlappedResult(handle_, &readOverlapped_, &count, TRUE);
      readPending_ = FALSE;
    }
    if (readOverlapped_.hEvent != nullptr) CloseHandle(readOverlapped_.hEvent);
    if (writeOverlapped_.hEvent != nullptr) CloseHandle(writeOverlapped_.hEvent);
    CloseHandle(handle_);
    readOverlapped_.hEvent = nullptr;
    writeOverlapped_.hEvent = nullptr;
    handle_ = INVALID_HANDLE_VALUE;
    timeoutsSaved_ = false;
    ready_ = false;
    lost_ = false;
  }

  bool Write(const char* data, std::size_t n) override {
    if (!ready_) return false;
    DWORD written = 0;
    if (WriteFile(handle_, data, static_cast<DWORD>(n), &written, &writeOverlapped_)) return true;
    if (GetLastError() != ERROR_IO_PENDING) return NoteFailure();
    if (GetOverlappedResult(handle_, &writeOverlapped_, &written, TRUE)) return true;
    return NoteFailure();
  }

  char ReadChar(bool& gotByte) override {
    gotByte = false;
    if (!ready_) return rxByte_;
    DWORD count = 0;
    if (!readPending_) {
      if (ReadFile(handle_, &rxByte_, 1, &count, &readOverlapped_)) {
        gotByte = (count == 1);
        return rxByte_;
      }
      if (GetLastError() != ERROR_IO_PENDING) {
        NoteFailure();
        return rxByte_;
      }
      readPending_ = TRUE;
    }
    if (WaitForSingleObject(readOverlapped_.hEvent, kReadPollMs) != WAIT_OBJECT_0) return rxByte_;
    // A read that ended with an error is collected once; the next call starts a new one.
    const BOOL collected = GetOverlappedResult(handle_, &readOverlapped_, &count, FALSE);
    readPending_ = FALSE;
    if (!collected) {
      NoteFailure();
      return rxByte_;
    }
    gotByte = (count == 1);
    return rxByte_;
  }

  bool SetModemLine(ModemControlLine which, bool on) override {
    if (!ready_) return false;
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
    if (!ready_ || !GetCommModemStatus(handle_, &bits)) return false;
    status = static_cast<std::uint32_t>(bits);
    return true;
  }

 private:
  // Records why Open stopped at this step and returns the step's code.
  int Failed(int code, DWORD e = GetLastError()) {
    openError_ = {e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION, ErrorText(e)};
    return code;
  }

  // Marks the device lost when the failure of the last call says so; false for the caller.
  bool NoteFailure() {
    if (IsLossError(GetLastError())) lost_ = true;
    return false;
  }

  char rxByte_ = '\0';
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  OVERLAPPED readOverlapped_;
  OVERLAPPED writeOverlapped_;
  BOOL readPending_ = FALSE;
  COMMTIMEOUTS savedTimeouts_;
  bool timeoutsSaved_ = false;
  bool ready_ = false;
  bool lost_ = false;
  SerialOpenError openError_;
};

}  // namespace

std::unique_ptr<SerialBackend> MakePlatformSerialBackend() {
  return std::make_unique<Win32SerialBackend>();
}

}  // namespace morvanix
