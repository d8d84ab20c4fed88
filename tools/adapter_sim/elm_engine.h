#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

// The behaviours the simulated adapter can be given. kElm is a well-behaved adapter; the
// others reproduce faults seen on real devices and links.
enum class AdapterProfile {
  kElm,          // realistic adapter
  kSilent,       // takes everything, answers nothing
  kModem,        // a modem: echo, then "\r\nOK\r\n", never a prompt
  kNoEcho,       // an adapter whose echo cannot be turned on
  kEchoOnly,     // echoes the command, then stays silent
  kOkNoEcho,     // "OK\r\r>" to everything, without echo
  kJunk,         // a stray byte after the reset echo, before the banner
  kNul,          // a NUL byte at the start of every answer
  kEndless,      // streams monitor lines forever, whatever it is sent
  kVanish,       // disappears in the middle of its first OBD answer
  kLate,         // each answer is held back until the next command starts
  kIgnitionOff,  // OBD requests find no vehicle
};

std::optional<AdapterProfile> ParseAdapterProfile(const std::string& name);
const char* AdapterProfileName(AdapterProfile profile);

// One piece of an answer, sent after a pause.
struct AnswerChunk {
  int delayMs = 0;
  std::string bytes;
};

struct ElmTimings {
  int resetDelayMs = 800;    // ATZ to banner
  int searchDelayMs = 2000;  // first OBD request after a protocol reset
};

// The command interpreter of the simulated adapter: command line in, answer chunks out.
// Line ends come out as CR; the server adds line feeds when they are switched on.
class ElmEngine {
 public:
  ElmEngine(AdapterProfile profile, ElmTimings timings);

  bool EchoOn() const;
  bool LineFeedsOn() const { return lineFeeds; }

  // The answer to one command line (as received, without its CR), prompt included.
  // An empty line repeats the previous command.
  std::vector<AnswerChunk> Answer(const std::string& line);

  // Normalised form of a command: upper case, spaces removed.
  static std::string Normalise(const std::string& line);

 private:
  std::vector<AnswerChunk> AnswerAt(const std::string& command);
  std::vector<AnswerChunk> AnswerObd(const std::string& command);
  std::string HexLines(const std::vector<std::vector<unsigned char>>& frames,
                       const std::vector<int>& headers) const;
  std::string VinAnswer() const;
  std::string HexByte(unsigned value) const;
  void Reset();

  AdapterProfile profile;
  ElmTimings timings;
  std::chrono::steady_clock::time_point started;
  std::string lastCommand;
  bool echo = true;
  bool lineFeeds = false;
  bool spaces = true;
  bool headers = false;
  bool protocolFound = false;
};
