// Serial backend over the Windows communications API, opened for overlapped I/O so that a
// one-byte read can be polled with a 10 ms wait and left outstanding between polls.
#include <windows.h>

#include <memory>
#include <string>

#include "adapter/serial_backend.h"

namespace {

constexpr DWORD kReadPollMs = 10;
constexpr DWORD kSettleMs = 60;

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
    ZeroMemory(&readOverlapped, sizeof readOverlapped);
    ZeroMemory(&writeOverlapped, sizeof writeOverlapped);
    ZeroMemory(&savedTimeouts, sizeof savedTimeouts);
  }
  ~Win32SerialBackend() override { Close(); }

  int Open(const std::string& portName, const SerialLineSettings& line) override {
    if (handle != INVALID_HANDLE_VALUE) return 0;
    handle = CreateFileA(portName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 1;
    if (!PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
      return 2;
    }
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) return 3;
    dcb.BaudRate = static_cast<DWORD>(line.baudRate);
    dcb.ByteSize = static_cast<BYTE>(line.dataBits);
    dcb.Parity = ParityCode(line.parity);
    dcb.StopBits = StopBitsCode(line.stopBits);
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fOutX = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    const BOOL applied = SetCommState(handle, &dcb);
    Sleep(kSettleMs);
    if (!applied) return 4;
    if (!GetCommState(handle, &dcb)) return 5;

    ZeroMemory(&readOverlapped, sizeof readOverlapped);
    readOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (readOverlapped.hEvent == nullptr) return 6;
    ZeroMemory(&writeOverlapped, sizeof writeOverlapped);
    readPending = FALSE;
    writeOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (writeOverlapped.hEvent == nullptr) return 7;
    if (!GetCommTimeouts(handle, &savedTimeouts)) return 8;
    timeoutsSaved = true;

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 20;
    timeouts.ReadTotalTimeoutMultiplier = 15;
    timeouts.ReadTotalTimeoutConstant = 100;
    timeouts.WriteTotalTimeoutMultiplier = 15;
    timeouts.WriteTotalTimeoutConstant = 100;
    if (!SetCommTimeouts(handle, &timeouts)) return 9;
    ready = true;
    return 0;
  }

  void Close() override {
    if (handle == INVALID_HANDLE_VALUE) return;
    if (timeoutsSaved) (void)SetCommTimeouts(handle, &savedTimeouts);
    // An outstanding read still targets rxByte and readOverlapped: end it before they go.
    if (readPending) {
      (void)CancelIo(handle);
      DWORD count = 0;
      (void)GetOverlappedResult(handle, &readOverlapped, &count, TRUE);
      readPending = FALSE;
    }
    if (readOverlapped.hEvent != nullptr) CloseHandle(readOverlapped.hEvent);
    if (writeOverlapped.hEvent != nullptr) CloseHandle(writeOverlapped.hEvent);
    CloseHandle(handle);
    readOverlapped.hEvent = nullptr;
    writeOverlapped.hEvent = nullptr;
    handle = INVALID_HANDLE_VALUE;
    timeoutsSaved = false;
    ready = false;
  }

  bool Write(const char* data, std::size_t n) override {
    if (!ready) return false;
    DWORD written = 0;
    if (WriteFile(handle, data, static_cast<DWORD>(n), &written, &writeOverlapped)) return true;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    return GetOverlappedResult(handle, &writeOverlapped, &written, TRUE) != FALSE;
  }

  char ReadChar(bool& gotByte) override {
    gotByte = false;
    if (!ready) return rxByte;
    DWORD count = 0;
    if (!readPending) {
      if (ReadFile(handle, &rxByte, 1, &count, &readOverlapped)) {
        gotByte = (count == 1);
        return rxByte;
      }
      if (GetLastError() != ERROR_IO_PENDING) return rxByte;
      readPending = TRUE;
    }
    if (WaitForSingleObject(readOverlapped.hEvent, kReadPollMs) != WAIT_OBJECT_0) return rxByte;
    // A read that ended with an error is collected once; the next call starts a new one.
    const BOOL collected = GetOverlappedResult(handle, &readOverlapped, &count, FALSE);
    readPending = FALSE;
    if (!collected) return rxByte;
    gotByte = (count == 1);
    return rxByte;
  }

  bool SetModemLine(ModemControlLine which, bool on) override {
    if (!ready) return false;
    DWORD function = 0;
    if (which == ModemControlLine::kRts) {
      function = on ? SETRTS : CLRRTS;
    } else {
      function = on ? SETDTR : CLRDTR;
    }
    return EscapeCommFunction(handle, function) != FALSE;
  }

  bool GetModemStatus(std::uint32_t& status) override {
    status = 0;
    DWORD bits = 0;
    if (!ready || !GetCommModemStatus(handle, &bits)) return false;
    status = static_cast<std::uint32_t>(bits);
    return true;
  }

 private:
  char rxByte = '\0';
  HANDLE handle = INVALID_HANDLE_VALUE;
  OVERLAPPED readOverlapped;
  OVERLAPPED writeOverlapped;
  BOOL readPending = FALSE;
  COMMTIMEOUTS savedTimeouts;
  bool timeoutsSaved = false;
  bool ready = false;
};

}  // namespace

std::unique_ptr<SerialBackend> MakePlatformSerialBackend() {
  return std::make_unique<Win32SerialBackend>();
}
