#include <windows.h>

#include <algorithm>
#include <optional>

#include "adapter/serial_device_name.h"
#include "adapter/serial_port_list.h"

namespace morvanix {

std::vector<ListedSerialPort> ListSerialPorts(std::string* source) {
  if (source != nullptr) *source = "the registry's SERIALCOMM list";
  std::vector<ListedSerialPort> found;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return found;
  }
  for (DWORD index = 0;; ++index) {
    char name[256];
    BYTE data[256];
    DWORD nameSize = sizeof name, dataSize = sizeof data - 1, type = 0;
    const LONG read = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
    if (read == ERROR_NO_MORE_ITEMS) break;
    if (read != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataSize] = 0;
    std::string port(reinterpret_cast<const char*>(data));
    while (!port.empty() && port.back() == '\0') port.pop_back();
    const std::optional<int> n = ComPortNumber("\\\\.\\" + port);
    if (n) found.push_back({*n, std::string(name, nameSize)});
  }
  RegCloseKey(key);
  std::sort(found.begin(), found.end(), [](const ListedSerialPort& a, const ListedSerialPort& b) {
    return a.number < b.number;
  });
  return found;
}

}  // namespace morvanix
