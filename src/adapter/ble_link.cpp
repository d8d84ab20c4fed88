#include "adapter/ble_link.h"

#include <cctype>

namespace morvanix {

bool IsBleLinkName(const std::string& name) {
  return name.rfind(kBleLinkScheme, 0) == 0;
}

std::string BleLinkAddress(const std::string& name) {
  if (!IsBleLinkName(name)) return {};
  std::string address = name.substr(std::char_traits<char>::length(kBleLinkScheme));
  if (address.size() != 17) return {};
  for (std::size_t i = 0; i < address.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(address[i]);
    if (i % 3 == 2 ? c != ':' : std::isxdigit(c) == 0) return {};
    address[i] = static_cast<char>(std::toupper(c));
  }
  return address;
}

}  // namespace morvanix
