#include "diagnose/diagnose_text.h"

#include <charconv>
#include <sstream>

namespace morvanix {

namespace {

constexpr int kListenState = 0x0A;
// 127.0.0.1 as /proc/net/tcp writes it: the address in host byte order, little-endian here.
constexpr std::string_view kLoopbackV4 = "0100007F";
constexpr std::string_view kAnyV4 = "00000000";
constexpr std::string_view kAnyV6 = "00000000000000000000000000000000";
constexpr std::string_view kMappedLoopbackV6 = "0000000000000000FFFF00000100007F";

bool ParseHex(std::string_view text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::string FormatCheckLine(const CheckLine& line) {
  const char* word = line.verdict == Verdict::kOk     ? "ok    "
                     : line.verdict == Verdict::kFail ? "FAIL  "
                                                      : "note  ";
  return word + Printable(line.text, false);
}

std::string Printable(std::string_view bytes, bool escapeBackslash) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\\' && escapeBackslash) {
      out += "\\\\";
    } else if (byte < 0x20 || byte > 0x7E) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::uint64_t> ListeningInodes(std::string_view procNetTcp, int port, bool v6) {
  std::vector<std::uint64_t> inodes;
  std::istringstream lines{std::string(procNetTcp)};
  std::string line;
  std::getline(lines, line);  // the column titles
  while (std::getline(lines, line)) {
    // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode)) {
      continue;
    }
    const std::size_t colon = local.find(':');
    std::uint64_t localPort = 0, stateValue = 0, inodeValue = 0;
    if (colon == std::string::npos ||
        !ParseHex(std::string_view(local).substr(colon + 1), localPort) ||
        !ParseHex(state, stateValue) ||
        std::from_chars(inode.data(), inode.data() + inode.size(), inodeValue).ec != std::errc()) {
      continue;
    }
    const std::string_view address = std::string_view(local).substr(0, colon);
    const bool blocks = v6 ? (address == kAnyV6 || address == kMappedLoopbackV6)
                           : (address == kLoopbackV4 || address == kAnyV4);
    if (blocks && stateValue == kListenState && localPort == static_cast<std::uint64_t>(port)) {
      inodes.push_back(inodeValue);
    }
  }
  return inodes;
}

std::uint64_t SocketInode(std::string_view linkText) {
  constexpr std::string_view kPrefix = "socket:[";
  if (linkText.size() <= kPrefix.size() + 1 || linkText.substr(0, kPrefix.size()) != kPrefix ||
      linkText.back() != ']') {
    return 0;
  }
  const std::string_view digits =
      linkText.substr(kPrefix.size(), linkText.size() - kPrefix.size() - 1);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return error == std::errc() && end == digits.data() + digits.size() ? value : 0;
}

}  // namespace morvanix
