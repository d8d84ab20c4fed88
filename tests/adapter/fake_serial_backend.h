#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "adapter/serial_backend.h"
#include "adapter/serial_port.h"
#include "base/wait.h"

namespace morvanix {

// Records every call the portable SerialPort makes into its backend.
struct FakeSerialRecord {
  int made = 0;
  int opens = 0;
  int closes = 0;
  int platformIo = 0;  // writes, reads and modem calls
  std::string openedName;
  SerialLineSettings line;
  std::vector<std::string> writes;
  std::vector<std::pair<ModemControlLine, bool>> modemChanges;
  // What the backends report, set by the test.
  SerialOpenError openError;
  bool lost = false;
  // Scripted adapter: each write queues the next reply's chunks; a read returns at most the
  // rest of one chunk, and with nothing queued it waits for its deadline or the stop.
  std::deque<std::vector<std::string>> replies;
  std::deque<std::string> incoming;
};

class FakeSerialBackend final : public SerialBackend {
 public:
  FakeSerialBackend(FakeSerialRecord& record, int openCode, std::uint32_t modemStatus,
                    bool modemValid)
      : record(record), openCode(openCode), modemStatus(modemStatus), modemValid(modemValid) {}

  int Open(const std::string& name, const SerialLineSettings& settings) override {
    ++record.opens;
    record.openedName = name;
    record.line = settings;
    return openCode;
  }
  void Close() override { ++record.closes; }
  bool Write(const char* data, std::size_t n, const Deadline&, const StopToken&) override {
    ++record.platformIo;
    record.writes.emplace_back(data, n);
    if (!record.replies.empty()) {
      for (const std::string& chunk : record.replies.front()) record.incoming.push_back(chunk);
      record.replies.pop_front();
    }
    return true;
  }
  std::size_t ReadSome(char* buffer, std::size_t n, const Deadline& deadline,
                       const StopToken& stop) override {
    ++record.platformIo;
    while (!record.incoming.empty() && record.incoming.front().empty()) {
      record.incoming.pop_front();
    }
    if (record.incoming.empty()) {
      if (!record.lost) WaitUntil(deadline, stop);
      return 0;
    }
    std::string& chunk = record.incoming.front();
    const std::size_t count = std::min(n, chunk.size());
    chunk.copy(buffer, count);
    chunk.erase(0, count);
    return count;
  }
  bool SetModemLine(ModemControlLine which, bool on) override {
    ++record.platformIo;
    record.modemChanges.emplace_back(which, on);
    return true;
  }
  bool GetModemStatus(std::uint32_t& status) override {
    ++record.platformIo;
    status = modemStatus;
    return modemValid;
  }
  SerialOpenError LastOpenError() const override { return record.openError; }
  bool DeviceLost() const override { return record.lost; }

 private:
  FakeSerialRecord& record;
  int openCode;
  std::uint32_t modemStatus;
  bool modemValid;
};

inline SerialPort::BackendMaker FakeMaker(FakeSerialRecord& record, int openCode,
                                          std::uint32_t modemStatus = 0, bool modemValid = true) {
  return [&record, openCode, modemStatus, modemValid] {
    ++record.made;
    return std::make_unique<FakeSerialBackend>(record, openCode, modemStatus, modemValid);
  };
}

}  // namespace morvanix
