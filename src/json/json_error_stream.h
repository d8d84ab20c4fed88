// The parser's diagnostic output: one line per fault on a replaceable stream.
#pragma once

#include <cstddef>
#include <string_view>

namespace morvanix {

// Writes fixedText, the offending bytes, a single quote and a line feed as one line, flushed at
// once. Lines from different threads never interleave.
void WriteJsonDiagnostic(std::string_view fixedText, std::string_view offending);

// Writes the one line that stands for the diagnostics a parse left out past its limit.
void WriteJsonDiagnosticsDropped(std::size_t count);

}  // namespace morvanix
