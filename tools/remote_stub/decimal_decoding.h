#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace morvanix::stub {

// The remote server's reading of an agent_message value, written apart from the agent's own
// encoder so that the two check each other: split at every "n", each decimal number taken
// modulo 256 is one byte. Anything else (a missing final "n", an empty or non-decimal piece)
// gives nullopt.
std::optional<std::string> DecodeDecimalBytes(std::string_view encoded);

}  // namespace morvanix::stub
