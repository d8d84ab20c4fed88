#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace morvanix {

// The texts a user sets in the agent's environment, read and reported the same way
// everywhere.

// A TCP port: 1 to 65535 in plain decimal digits, nothing else.
std::optional<int> ParsePortNumber(std::string_view text);

// The text in double quotes for a one-line report: control characters shown as '?', so that
// the value cannot break the line, and cut with "..." after enough to recognise it.
std::string Quoted(std::string_view text);

}  // namespace morvanix
