// Escaping shared by escapeJson and the serializer, which writes into one growing text.
#pragma once

#include <string>
#include <string_view>

namespace morvanix {

// Appends text to out with the seven escaped bytes written as two characters each.
void AppendEscapedJson(std::string& out, std::string_view text);

// True when escaping would change text.
bool NeedsJsonEscape(std::string_view text);

}  // namespace morvanix
