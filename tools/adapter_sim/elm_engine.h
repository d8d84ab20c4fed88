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
  // Adapters as they are sold, each with the quirks of its row in the profile table.
  kBusy,        // stops with STOPPED on early input; waits AT ST before the prompt
  kMultiEcu,    // as busy, with gaps between frames and between ECUs
  kPending,     // as busy, "7F xx 78" every 50 ms for 1.2 s before each OBD answer
  kBusInit,     // "BUS INIT: ...OK" with slow dots instead of SEARCHING...
  kCrLf,        // a clone that starts with line feeds on
  kEchoOff,     // echo left off by another program: ATZ unechoed once
  kBaud9600,    // understands only 9600 baud, answers garbage at other speeds
  kBaud115200,  // the same at 115200
  kUsb,         // as multi-ecu, through a USB bridge: 62-byte packets every 16 ms
  kUnplug,      // as busy, and the terminal goes away at the ninth command
};

// What sets a profile apart from the well-behaved adapter. Timings from adapter logs.
struct AdapterQuirks {
  bool stopOnInput = false;  // a byte before the prompt ends the answer with STOPPED
  int promptWaitMs = 0;      // after an OBD answer, listening for more ECUs (AT ST)
  int frameGapMs = 0;        // between lines of one ECU, alternating with twice as much
  int ecuGapMs = 0;          // before the lines of a further ECU
  int pendingMs = 0;         // "response pending" lines every 50 ms for this long
  bool busInit = false;      // slow bus initialisation instead of SEARCHING...
  bool lineFeeds = false;    // line feeds on after every reset
  bool echoOffAtStart = false;
  bool nulFirst = false;    // a NUL before every answer
  int baudRate = 0;         // the only speed the adapter understands; 0: any
  bool usbPackets = false;  // output in 62-byte packets, one every 16 ms
  int unplugAfter = 0;      // the command after this many takes the terminal away; 0: never
};

std::optional<AdapterProfile> ParseAdapterProfile(const std::string& name);
const char* AdapterProfileName(AdapterProfile profile);
AdapterQuirks QuirksOf(AdapterProfile profile);
// Every profile name, for usage texts.
std::string AdapterProfileNames();

// One piece of an answer, sent after a pause.
struct AnswerChunk {
  int delayMs = 0;
  std::string bytes;
};

struct ElmTimings {
  int resetDelayMs = 800;    // ATZ to banner
  int searchDelayMs = 2000;  // first OBD request after a protocol reset
  // When 0 or more: every OBD answer comes this long after its command, whole, with the
  // prompt right after (an adapter told how many answers to expect, so that it does not
  // listen for more ECUs). Below 0: the profile's own timing.
  int ecuDelayMs = -1;
};

// The command interpreter of the simulated adapter: command line in, answer chunks out.
// Line ends come out as CR; the server adds line feeds when they are switched on.
class ElmEngine {
 public:
  ElmEngine(AdapterProfile profile, ElmTimings timings);
  ElmEngine(AdapterProfile profile, AdapterQuirks quirks, ElmTimings timings);

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
  // One line per frame, each frame from its ECU (header).
  std::vector<std::string> FrameLines(const std::vector<std::vector<unsigned char>>& frames,
                                      const std::vector<int>& headers) const;
  // A payload over several frames, as one ECU sends it.
  std::vector<std::string> MultiFrameLines(int header,
                                           const std::vector<unsigned char>& payload) const;
  // The answer lines per ECU, before the timing is laid over them.
  std::vector<std::vector<std::string>> ObdBody(const std::string& command) const;
  std::vector<AnswerChunk> Timed(const std::vector<std::vector<std::string>>& ecus) const;
  std::string HexByte(unsigned value) const;
  void Reset();

  AdapterProfile profile;
  AdapterQuirks quirks;
  ElmTimings timings;
  std::chrono::steady_clock::time_point started;
  std::string lastCommand;
  bool echo = true;
  bool lineFeeds = false;
  bool spaces = true;
  bool headers = false;
  bool protocolFound = false;
};
