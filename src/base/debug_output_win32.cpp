#include <windows.h>

#include "service/debug_output.h"

void DebugOutput(const char* text) {
  OutputDebugStringA(text);
}
