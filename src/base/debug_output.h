#pragma once

namespace morvanix {

// The platform's debug output: OutputDebugStringA on Windows, one line on standard error
// elsewhere (which the journal keeps when the agent runs under systemd). Used for the few
// messages that must never go to the event log.
void DebugOutput(const char* text);

}  // namespace morvanix
