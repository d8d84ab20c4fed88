#include <unistd.h>

#include <cstring>
#include <string>

#include "base/debug_output.h"

namespace morvanix {

void DebugOutput(const char* text) {
  // One write per line so that lines from different threads never mix.
  std::string line(text);
  line.push_back('\n');
  ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace morvanix
