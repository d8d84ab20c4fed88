#include "bridge/loopback_host.h"

#include <string>

namespace morvanix {
namespace {

bool SameLetters(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

bool IsLoopbackHost(std::string_view host, int port) {
  std::string_view name = host;
  const std::size_t colon = host.find(':');
  if (colon != std::string_view::npos) {
    if (port <= 0 || host.substr(colon + 1) != std::to_string(port)) return false;
    name = host.substr(0, colon);
  }
  return name == "127.0.0.1" || SameLetters(name, "localhost");
}

bool IsCrossSiteNavigation(std::string_view mode, std::string_view dest, std::string_view site) {
  return SameLetters(mode, "navigate") && SameLetters(dest, "document") &&
         !SameLetters(site, "none");
}

}  // namespace morvanix
