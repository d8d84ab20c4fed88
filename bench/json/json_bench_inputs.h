// The texts the JSON benchmarks read and write.
#pragma once

#include <string>

namespace morvanix {

// A fetched request, as the request executor receives it.
std::string BenchRequestText();
// A RESPONSE message carrying the results of a request with many adapter commands.
std::string BenchResponseText();
// About 1 MB of nested objects, escaped strings, integers and floats.
std::string BenchLargeDocumentText();

}  // namespace morvanix
