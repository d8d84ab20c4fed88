#include "elm_engine.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <utility>

namespace {

constexpr const char* kBanner = "ELM327 v1.5";
constexpr const char* kVin = "1SIMVIN0000000042";
constexpr int kEngineHeader = 0x7E8;
constexpr int kTransmissionHeader = 0x7E9;

constexpr int kBodyHeader = 0x7EA;
constexpr int kPendingEveryMs = 50;

// AT ST and the gaps of a CAN adapter: 200 ms prompt wait, frames 25/50 ms apart, a further
// ECU 120 ms later.
constexpr AdapterQuirks kBusyQuirks = {.stopOnInput = true, .promptWaitMs = 200};
constexpr AdapterQuirks kCanQuirks = {
    .stopOnInput = true, .promptWaitMs = 200, .frameGapMs = 25, .ecuGapMs = 120};

struct ProfileRow {
  AdapterProfile profile;
  const char* name;
  AdapterQuirks quirks;
};

constexpr ProfileRow kProfiles[] = {
    {AdapterProfile::kElm, "elm", {}},
    {AdapterProfile::kSilent, "silent", {}},
    {AdapterProfile::kModem, "modem", {}},
    {AdapterProfile::kNoEcho, "no-echo", {}},
    {AdapterProfile::kEchoOnly, "echo-only", {}},
    {AdapterProfile::kOkNoEcho, "ok-no-echo", {}},
    {AdapterProfile::kJunk, "junk", {}},
    {AdapterProfile::kNul, "nul", {.nulFirst = true}},
    {AdapterProfile::kEndless, "endless", {}},
    {AdapterProfile::kVanish, "vanish", {}},
    {AdapterProfile::kLate, "late", {}},
    {AdapterProfile::kIgnitionOff, "ignition-off", {}},
    {AdapterProfile::kBusy, "busy", kBusyQuirks},
    {AdapterProfile::kMultiEcu, "multi-ecu", kCanQuirks},
    {AdapterProfile::kPending,
     "pending",
     {.stopOnInput = true, .promptWaitMs = 200, .pendingMs = 1200}},
    {AdapterProfile::kBusInit,
     "bus-init",
     {.stopOnInput = true, .promptWaitMs = 200, .busInit = true}},
    {AdapterProfile::kCrLf, "crlf", {.lineFeeds = true}},
    {AdapterProfile::kEchoOff, "echo-off", {.echoOffAtStart = true}},
    {AdapterProfile::kBaud9600, "baud-9600", {.baudRate = 9600}},
    {AdapterProfile::kBaud115200, "baud-115200", {.baudRate = 115200}},
    {AdapterProfile::kUsb,
     "usb",
     {.stopOnInput = true,
      .promptWaitMs = 200,
      .frameGapMs = 25,
      .ecuGapMs = 120,
      .usbPackets = true}},
    {AdapterProfile::kUnplug,
     "unplug",
     {.stopOnInput = true, .promptWaitMs = 200, .unplugAfter = 8}},
};

bool IsHex(const std::string& text) {
  if (text.empty() || text.size() % 2 != 0) return false;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

std::vector<AnswerChunk> Now(std::string bytes) {
  return {{0, std::move(bytes)}};
}

}  // namespace

std::optional<AdapterProfile> ParseAdapterProfile(const std::string& name) {
  for (const ProfileRow& row : kProfiles) {
    if (name == row.name) return row.profile;
  }
  return std::nullopt;
}

const char* AdapterProfileName(AdapterProfile profile) {
  for (const ProfileRow& row : kProfiles) {
    if (row.profile == profile) return row.name;
  }
  return "?";
}

AdapterQuirks QuirksOf(AdapterProfile profile) {
  for (const ProfileRow& row : kProfiles) {
    if (row.profile == profile) return row.quirks;
  }
  return {};
}

std::string AdapterProfileNames() {
  std::string names;
  for (const ProfileRow& row : kProfiles) {
    if (!names.empty()) names += ' ';
    names += row.name;
  }
  return names;
}

ElmEngine::ElmEngine(AdapterProfile p, ElmTimings t) : ElmEngine(p, QuirksOf(p), t) {}

ElmEngine::ElmEngine(AdapterProfile p, AdapterQuirks q, ElmTimings t)
    : profile(p), quirks(q), timings(t), started(std::chrono::steady_clock::now()) {
  Reset();
  // Another program's ATE0 outlives it while the adapter stays powered.
  if (quirks.echoOffAtStart) echo = false;
}

void ElmEngine::Reset() {
  echo = profile != AdapterProfile::kNoEcho && profile != AdapterProfile::kOkNoEcho;
  lineFeeds = quirks.lineFeeds;
  spaces = true;
  headers = false;
  protocolFound = false;
}

bool ElmEngine::EchoOn() const {
  return echo && profile != AdapterProfile::kSilent;
}

std::string ElmEngine::Normalise(const std::string& line) {
  std::string out;
  for (char c : line) {
    if (c == ' ' || c == '\n') continue;
    out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return out;
}

std::vector<AnswerChunk> ElmEngine::Answer(const std::string& line) {
  std::string command = Normalise(line);
  if (command.empty()) command = lastCommand;
  lastCommand = command;

  switch (profile) {
    case AdapterProfile::kSilent:
    case AdapterProfile::kEchoOnly:
    case AdapterProfile::kEndless:
      return {};
    case AdapterProfile::kModem:
      return Now("\r\nOK\r\n");
    case AdapterProfile::kOkNoEcho:
      return Now("OK\r\r>");
    default:
      break;
  }
  if (command.empty()) return Now(">");
  std::vector<AnswerChunk> answer = command.rfind("AT", 0) == 0 ? AnswerAt(command.substr(2))
                                    : IsHex(command)            ? AnswerObd(command)
                                                                : Now("?\r\r>");
  if (quirks.nulFirst && !answer.empty()) answer.front().bytes.insert(0, 1, '\0');
  return answer;
}

std::vector<AnswerChunk> ElmEngine::AnswerAt(const std::string& command) {
  const std::string ok = "OK\r\r>";
  if (command == "Z") {
    Reset();
    std::string banner = std::string("\r\r") + kBanner + "\r\r>";
    if (profile == AdapterProfile::kJunk) banner.insert(0, 1, '\xFC');
    return {{timings.resetDelayMs, banner}};
  }
  if (command == "I") return Now(std::string(kBanner) + "\r\r>");
  if (command == "@1") return Now("OBDII to RS232 Interpreter\r\r>");
  if (command == "RV") return Now("12.6V\r\r>");
  if (command == "SP0") {
    protocolFound = false;
    return Now(ok);
  }
  if (command == "DP") {
    return Now(protocolFound ? "AUTO, ISO 15765-4 (CAN 11/500)\r\r>" : "AUTO\r\r>");
  }
  if (command == "DPN") return Now(protocolFound ? "A6\r\r>" : "A0\r\r>");
  if (command.size() == 4 && command.rfind("ST", 0) == 0 && IsHex(command.substr(2))) {
    // The wait for further ECUs, in steps of 4 ms, for the profiles that wait at all.
    if (quirks.promptWaitMs > 0) {
      quirks.promptWaitMs =
          std::max(4, 4 * static_cast<int>(std::stoi(command.substr(2), nullptr, 16)));
    }
    return Now(ok);
  }
  if (command.size() == 2 && (command[1] == '0' || command[1] == '1')) {
    const bool on = command[1] == '1';
    switch (command[0]) {
      case 'E':
        if (profile != AdapterProfile::kNoEcho) echo = on;
        return Now(ok);
      case 'L':
        lineFeeds = on;
        return Now(ok);
      case 'S':
        spaces = on;
        return Now(ok);
      case 'H':
        headers = on;
        return Now(ok);
      default:
        break;
    }
  }
  return Now("?\r\r>");
}

std::string ElmEngine::HexByte(unsigned value) const {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
  return spaces ? std::string(text) + " " : std::string(text);
}

std::vector<std::string> ElmEngine::FrameLines(
    const std::vector<std::vector<unsigned char>>& frames,
    const std::vector<int>& frameHeaders) const {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    std::string out;
    if (headers) {
      char header[8];
      std::snprintf(header, sizeof header, "%03X", frameHeaders[i]);
      out += header;
      if (spaces) out += ' ';
      out += HexByte(static_cast<unsigned>(frames[i].size()));
    }
    for (unsigned char b : frames[i]) out += HexByte(b);
    lines.push_back(out + '\r');
  }
  return lines;
}

std::vector<std::string> ElmEngine::MultiFrameLines(
    int header, const std::vector<unsigned char>& payload) const {
  std::vector<std::string> lines;
  char text[8];
  std::snprintf(text, sizeof text, "%03X", header);
  const std::string id = spaces ? std::string(text) + " " : std::string(text);
  if (headers) {
    // First frame (10 + length) with 6 bytes, then consecutive frames 21, 22... with 7 each.
    std::string out = id + HexByte(0x10) + HexByte(static_cast<unsigned>(payload.size()));
    std::size_t at = 0;
    for (; at < 6 && at < payload.size(); ++at) out += HexByte(payload[at]);
    lines.push_back(out + '\r');
    for (unsigned sequence = 1; at < payload.size(); ++sequence) {
      out = id + HexByte(0x20 + (sequence & 0x0F));
      for (std::size_t n = 0; n < 7 && at < payload.size(); ++n, ++at) out += HexByte(payload[at]);
      lines.push_back(out + '\r');
    }
    return lines;
  }
  std::snprintf(text, sizeof text, "%03zX\r", payload.size());
  lines.emplace_back(text);
  std::size_t at = 0;
  // The first frame carries 6 bytes, every later one 7; the index counts modulo 16.
  for (unsigned line = 0; at < payload.size(); ++line) {
    std::string out = std::string(1, "0123456789ABCDEF"[line % 16]) + (spaces ? ": " : ":");
    const std::size_t perLine = line == 0 ? 6 : 7;
    for (std::size_t n = 0; n < perLine && at < payload.size(); ++n, ++at) {
      out += HexByte(payload[at]);
    }
    lines.push_back(out + '\r');
  }
  return lines;
}

std::vector<std::vector<std::string>> ElmEngine::ObdBody(const std::string& command) const {
  const auto single = [this](std::vector<unsigned char> frame, int header) {
    return FrameLines({std::move(frame)}, {header});
  };
  if (command == "0100") {
    return {single({0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13}, kEngineHeader),
            single({0x41, 0x00, 0x98, 0x18, 0x80, 0x10}, kTransmissionHeader)};
  }
  if (command == "0101") return {single({0x41, 0x01, 0x00, 0x07, 0xE5, 0x00}, kEngineHeader)};
  if (command == "0120") return {single({0x41, 0x20, 0x80, 0x01, 0xA0, 0x01}, kEngineHeader)};
  if (command == "010C") {
    // Engine speed sweeps between 800 and 2790 rpm, once every 20 s.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    const unsigned quarterRpm = static_cast<unsigned>(800 + (ms / 100) % 200 * 10) * 4;
    return {single({0x41, 0x0C, static_cast<unsigned char>(quarterRpm >> 8),
                    static_cast<unsigned char>(quarterRpm & 0xFF)},
                   kEngineHeader)};
  }
  if (command == "010D") return {single({0x41, 0x0D, 0x00}, kEngineHeader)};
  if (command == "0105") return {single({0x41, 0x05, 0x7B}, kEngineHeader)};
  if (command == "0111") return {single({0x41, 0x11, 0x26}, kEngineHeader)};
  if (command == "012F") return {single({0x41, 0x2F, 0x9E}, kEngineHeader)};
  if (command == "0902") {
    std::vector<unsigned char> payload = {0x49, 0x02, 0x01};
    for (const char* c = kVin; *c != '\0'; ++c) payload.push_back(static_cast<unsigned char>(*c));
    return {MultiFrameLines(kEngineHeader, payload)};
  }
  if (command == "03") {
    // Stored codes from three ECUs: seven, three and two, so the answer runs past 100 bytes.
    std::vector<unsigned char> engine = {0x43, 0x07};
    for (unsigned code = 1; code <= 7; ++code) {
      engine.push_back(static_cast<unsigned char>(code));
      engine.push_back(static_cast<unsigned char>(0x10 * code + 0x01));
    }
    return {MultiFrameLines(kEngineHeader, engine),
            single({0x43, 0x03, 0x07, 0x00, 0x07, 0x01, 0x07, 0x02}, kTransmissionHeader),
            single({0x43, 0x02, 0xC1, 0x00, 0xC1, 0x55}, kBodyHeader)};
  }
  if (command.size() == 4 && command.rfind("06", 0) == 0) {
    // On-board test results: one record of nine bytes per test, twelve tests.
    std::vector<unsigned char> payload = {0x46};
    const unsigned monitor = static_cast<unsigned>(std::stoul(command.substr(2), nullptr, 16));
    for (unsigned test = 1; test <= 12; ++test) {
      payload.insert(payload.end(),
                     {static_cast<unsigned char>(monitor), static_cast<unsigned char>(test), 0x0B,
                      0x01, static_cast<unsigned char>(test * 7), 0x00, 0x00, 0x03, 0xE8});
    }
    return {MultiFrameLines(kEngineHeader, payload)};
  }
  return {{"NO DATA\r"}};
}

std::vector<AnswerChunk> ElmEngine::Timed(const std::vector<std::vector<std::string>>& ecus) const {
  std::vector<AnswerChunk> chunks;
  for (std::size_t e = 0; e < ecus.size(); ++e) {
    for (std::size_t i = 0; i < ecus[e].size(); ++i) {
      int delay = 0;
      if (i > 0) {
        delay = quirks.frameGapMs * (i % 2 == 1 ? 1 : 2);
      } else if (e > 0) {
        delay = quirks.ecuGapMs;
      }
      chunks.push_back({delay, ecus[e][i]});
    }
  }
  chunks.push_back({quirks.promptWaitMs, "\r>"});
  return chunks;
}

std::vector<AnswerChunk> ElmEngine::AnswerObd(const std::string& command) {
  std::vector<AnswerChunk> chunks;
  int delay = 0;
  if (!protocolFound) {
    if (quirks.busInit) {
      // A slow (5-baud) initialisation prints a dot about every half second.
      const int dotMs = timings.searchDelayMs / 4;
      chunks.push_back({0, "BUS INIT: "});
      for (int dot = 0; dot < 3; ++dot) chunks.push_back({dotMs, "."});
      if (profile == AdapterProfile::kIgnitionOff) {
        chunks.push_back({dotMs, "ERROR\r\r>"});
        return chunks;
      }
      delay = dotMs;
      chunks.push_back({delay, "OK\r"});
      delay = 0;
    } else {
      chunks.push_back({0, "SEARCHING...\r"});
      if (profile == AdapterProfile::kIgnitionOff) {
        chunks.push_back({timings.searchDelayMs, "UNABLE TO CONNECT\r\r>"});
        return chunks;
      }
      delay = timings.searchDelayMs;
    }
    protocolFound = true;
  }
  if (quirks.pendingMs > 0) {
    // The ECU asks for more time again and again before it answers.
    const std::string pending =
        FrameLines(
            {{0x7F, static_cast<unsigned char>(std::stoul(command.substr(0, 2), nullptr, 16)),
              0x78}},
            {kEngineHeader})
            .front();
    for (int at = 0; at < quirks.pendingMs; at += kPendingEveryMs) {
      chunks.push_back({delay, pending});
      delay = kPendingEveryMs;
    }
  }
  std::vector<AnswerChunk> body = Timed(ObdBody(command));
  if (timings.ecuDelayMs >= 0 ||
      (quirks.frameGapMs == 0 && quirks.ecuGapMs == 0 && quirks.promptWaitMs == 0)) {
    // Without gaps the answer goes out in one piece.
    std::string all;
    for (const AnswerChunk& chunk : body) all += chunk.bytes;
    body = {{std::max(timings.ecuDelayMs, 0), all}};
  }
  body.front().delayMs += delay;
  chunks.insert(chunks.end(), body.begin(), body.end());
  return chunks;
}
