#include <windows.h>

#include "base/debug_output.h"

namespace morvanix {

void DebugOutput(const char* text) {
  OutputDebugStringA(text);
}

}  // namespace morvanix
