#pragma once

#include <optional>
#include <string>
#include <vector>

namespace morvanix {

// The number n of a Windows-style device name "\\.\COMn" (n from 1, no leading zero), or
// nothing for any other name.
std::optional<int> ComPortNumber(const std::string& name);

// Maps a port name to a device path on a system without COM names:
// - "\\.\COMn" with serialDir set: serialDir/COMn (normally a symlink to a tty);
// - "\\.\COMn" without: the n-th of the serial devices among devEntries (the names in
//   /dev), taken as ttyUSB*, then ttyACM*, then rfcomm*, each in numeric order; the empty
//   text when there are fewer than n;
// - any other name: unchanged.
std::string ResolveSerialDevicePath(const std::string& name, const char* serialDir,
                                    const std::vector<std::string>& devEntries);

}  // namespace morvanix
