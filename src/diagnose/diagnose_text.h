#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morvanix {

enum class Verdict { kOk, kFail, kNote };

// One line of the report: a short verdict, then the facts.
struct CheckLine {
  Verdict verdict = Verdict::kNote;
  std::string text;
};

// "ok    text", "FAIL  text" or "note  text", in plain ASCII: bytes outside printable ASCII
// are escaped as Printable does; backslashes stay as they are (Windows paths).
std::string FormatCheckLine(const CheckLine& line);

// The text with every byte outside printable ASCII written as an escape: \r, \n, \t and
// \xHH for the rest, and a backslash as \\, so that an adapter's answer shows exactly what
// came back.
std::string Printable(std::string_view bytes, bool escapeBackslash = true);

// The socket inodes of the TCP sockets listening on port that would keep the agent from
// binding 127.0.0.1 there, from the text of /proc/net/tcp (v6 false) or /proc/net/tcp6:
// those bound to 127.0.0.1 or to the wildcard address (:: and ::ffff:127.0.0.1 for v6).
std::vector<std::uint64_t> ListeningInodes(std::string_view procNetTcp, int port, bool v6);

// The inode of a /proc/PID/fd link text "socket:[N]", or 0 for any other link.
std::uint64_t SocketInode(std::string_view linkText);

}  // namespace morvanix
