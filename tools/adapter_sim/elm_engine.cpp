#include "elm_engine.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <utility>

namespace {

constexpr const char* kBanner = "ELM327 v1.5";
constexpr const char* kVin = "1SIMVIN0000000042";
constexpr int kEngineHeader = 0x7E8;
constexpr int kTransmissionHeader = 0x7E9;

struct ProfileName {
  AdapterProfile profile;
  const char* name;
};

constexpr std::array<ProfileName, 12> kProfileNames = {{
    {AdapterProfile::kElm, "elm"},
    {AdapterProfile::kSilent, "silent"},
    {AdapterProfile::kModem, "modem"},
    {AdapterProfile::kNoEcho, "no-echo"},
    {AdapterProfile::kEchoOnly, "echo-only"},
    {AdapterProfile::kOkNoEcho, "ok-no-echo"},
    {AdapterProfile::kJunk, "junk"},
    {AdapterProfile::kNul, "nul"},
    {AdapterProfile::kEndless, "endless"},
    {AdapterProfile::kVanish, "vanish"},
    {AdapterProfile::kLate, "late"},
    {AdapterProfile::kIgnitionOff, "ignition-off"},
}};

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
  for (const ProfileName& entry : kProfileNames) {
    if (name == entry.name) return entry.profile;
  }
  return std::nullopt;
}

const char* AdapterProfileName(AdapterProfile profile) {
  for (const ProfileName& entry : kProfileNames) {
    if (entry.profile == profile) return entry.name;
  }
  return "?";
}

ElmEngine::ElmEngine(AdapterProfile p, ElmTimings t)
    : profile(p), timings(t), started(std::chrono::steady_clock::now()) {
  Reset();
}

void ElmEngine::Reset() {
  echo = profile != AdapterProfile::kNoEcho && profile != AdapterProfile::kOkNoEcho;
  lineFeeds = false;
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
  if (profile == AdapterProfile::kNul && !answer.empty()) answer.front().bytes.insert(0, 1, '\0');
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

std::string ElmEngine::HexLines(const std::vector<std::vector<unsigned char>>& frames,
                                const std::vector<int>& frameHeaders) const {
  std::string out;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (headers) {
      char header[8];
      std::snprintf(header, sizeof header, "%03X", frameHeaders[i]);
      out += header;
      if (spaces) out += ' ';
      out += HexByte(static_cast<unsigned>(frames[i].size()));
    }
    for (unsigned char b : frames[i]) out += HexByte(b);
    out += '\r';
  }
  return out;
}

std::string ElmEngine::VinAnswer() const {
  std::vector<unsigned char> payload = {0x49, 0x02, 0x01};
  for (const char* c = kVin; *c != '\0'; ++c) payload.push_back(static_cast<unsigned char>(*c));
  std::string out;
  if (headers) {
    // First frame (10 + length) with 6 bytes, then consecutive frames 21, 22 with 7 each.
    out += spaces ? "7E8 " : "7E8";
    out += HexByte(0x10) + HexByte(static_cast<unsigned>(payload.size()));
    std::size_t at = 0;
    for (; at < 6; ++at) out += HexByte(payload[at]);
    out += '\r';
    for (unsigned sequence = 1; at < payload.size(); ++sequence) {
      out += spaces ? "7E8 " : "7E8";
      out += HexByte(0x20 + sequence);
      for (std::size_t n = 0; n < 7 && at < payload.size(); ++n, ++at) out += HexByte(payload[at]);
      out += '\r';
    }
    return out;
  }
  char length[8];
  std::snprintf(length, sizeof length, "%03zX\r", payload.size());
  out += length;
  std::size_t at = 0;
  // The first frame carries 6 bytes, every later one 7.
  for (unsigned line = 0; at < payload.size(); ++line) {
    out += std::to_string(line) + (spaces ? ": " : ":");
    const std::size_t perLine = line == 0 ? 6 : 7;
    for (std::size_t n = 0; n < perLine && at < payload.size(); ++n, ++at) {
      out += HexByte(payload[at]);
    }
    out += '\r';
  }
  return out;
}

std::vector<AnswerChunk> ElmEngine::AnswerObd(const std::string& command) {
  std::vector<AnswerChunk> chunks;
  if (!protocolFound) {
    chunks.push_back({0, "SEARCHING...\r"});
    if (profile == AdapterProfile::kIgnitionOff) {
      chunks.push_back({timings.searchDelayMs, "UNABLE TO CONNECT\r\r>"});
      return chunks;
    }
    protocolFound = true;
  }
  const int delay = chunks.empty() ? 0 : timings.searchDelayMs;

  std::string body;
  if (command == "0100") {
    body = HexLines({{0x41, 0x00, 0xBE, 0x3F, 0xA8, 0x13}, {0x41, 0x00, 0x98, 0x18, 0x80, 0x10}},
                    {kEngineHeader, kTransmissionHeader});
  } else if (command == "0120") {
    body = HexLines({{0x41, 0x20, 0x80, 0x01, 0xA0, 0x01}}, {kEngineHeader});
  } else if (command == "010C") {
    // Engine speed sweeps between 800 and 2790 rpm, once every 20 s.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    const unsigned quarterRpm = static_cast<unsigned>(800 + (ms / 100) % 200 * 10) * 4;
    body = HexLines({{0x41, 0x0C, static_cast<unsigned char>(quarterRpm >> 8),
                      static_cast<unsigned char>(quarterRpm & 0xFF)}},
                    {kEngineHeader});
  } else if (command == "010D") {
    body = HexLines({{0x41, 0x0D, 0x00}}, {kEngineHeader});
  } else if (command == "0105") {
    body = HexLines({{0x41, 0x05, 0x7B}}, {kEngineHeader});
  } else if (command == "0111") {
    body = HexLines({{0x41, 0x11, 0x26}}, {kEngineHeader});
  } else if (command == "012F") {
    body = HexLines({{0x41, 0x2F, 0x9E}}, {kEngineHeader});
  } else if (command == "0902") {
    body = VinAnswer();
  } else {
    body = "NO DATA\r";
  }
  chunks.push_back({delay, body + "\r>"});
  return chunks;
}
