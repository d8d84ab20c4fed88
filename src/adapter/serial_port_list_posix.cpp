#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "adapter/serial_device_name.h"
#include "adapter/serial_port_list.h"
#include "base/folder_posix.h"

namespace morvanix {

std::vector<ListedSerialPort> ListSerialPorts(std::string* source) {
  std::vector<ListedSerialPort> found;
  const char* serialDir = std::getenv("MORVANIX_SERIAL_DIR");
  if (serialDir != nullptr && serialDir[0] != '\0') {
    if (source != nullptr) *source = std::string("the entries of MORVANIX_SERIAL_DIR ") + serialDir;
    for (const std::string& entry : FolderEntries(serialDir)) {
      const std::optional<int> n = ComPortNumber("\\\\.\\" + entry);
      if (!n || entry.substr(0, 3) != "COM") continue;
      const std::string path = std::string(serialDir) + "/" + entry;
      const std::string target = LinkTarget(path);
      found.push_back({*n, target.empty() ? path : path + " -> " + target});
    }
  } else {
    if (source != nullptr) *source = "/dev/ttyUSB*, /dev/ttyACM*, /dev/rfcomm*";
    const std::vector<std::string> dev = FolderEntries("/dev");
    for (int n = 1; n <= static_cast<int>(dev.size()); ++n) {
      const std::string path =
          ResolveSerialDevicePath("\\\\.\\COM" + std::to_string(n), nullptr, dev);
      if (path.empty()) break;
      found.push_back({n, path});
    }
  }
  std::sort(found.begin(), found.end(), [](const ListedSerialPort& a, const ListedSerialPort& b) {
    return a.number < b.number;
  });
  return found;
}

}  // namespace morvanix
