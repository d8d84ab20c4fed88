#pragma once

#include <string>
#include <vector>

namespace morvanix {

// A serial device that the system lists, as the agent meets it: COM<number>.
struct ListedSerialPort {
  int number = 0;
  std::string device;  // where it leads (a path or the registry's device name), for display
};

// The serial devices the system lists, lowest number first, and a few words on where the
// list came from. Windows: the values under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. Elsewhere:
// the COM<n> entries of MORVANIX_SERIAL_DIR when it is set, else the devices that "\\.\COM<n>"
// leads to (ttyUSB*, ttyACM*, rfcomm*). Reads only; opens no device.
std::vector<ListedSerialPort> ListSerialPorts(std::string* source = nullptr);

}  // namespace morvanix
