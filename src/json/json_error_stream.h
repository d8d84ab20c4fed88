// The parser's diagnostic output: one line per fault on a replaceable stream.
#pragma once

#include <string_view>

namespace morvanix {

// Writes fixedText, the offending bytes, a single quote and a line feed as one line, flushed at
// once. Lines from different threads never interleave.
void WriteJsonDiagnostic(std::string_view fixedText, std::string_view offending);

}  // namespace morvanix
