#include "remote/request_executor.h"

#include <utility>

#include "adapter/adapter_exchange.h"
#include "json/json_value.h"

namespace morvanix {

namespace detail {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;  // every position would match and the loop would never end
  std::size_t found = text.find(from);
  if (found == std::string::npos) return;
  // One pass into a new text: replacing in place moves the whole tail at every match, which
  // made a request of a few megabytes of backslashes cost minutes with the adapter lock held.
  std::string replaced;
  replaced.reserve(text.size());
  std::size_t copied = 0;
  while (found != std::string::npos) {
    replaced.append(text, copied, found - copied).append(to);
    copied = found + from.size();
    found = text.find(from, copied);
  }
  replaced.append(text, copied, std::string::npos);
  text = std::move(replaced);
}

std::string ExecuteRequestWith(const std::string& requestText, const CommandExchange& exchange,
                               const StopToken& stop) {
  JsonValue request = JsonValue::parse(requestText);

  // The command object travels as an escaped string; dropping every backslash turns its
  // escaped quotes back into plain ones.
  std::string commandText = request.member("command").asText();
  ReplaceAll(commandText, "\\", "");
  const JsonValue command = JsonValue::parse(commandText);

  JsonValue results;  // stays null when there is nothing to run
  if (command.kind() == JsonKind::Object) {
    for (const auto& [key, value] : command.members()) {
      const std::string text = value.asText();
      if (key == "function") {
        results.member(key) = text;
        continue;
      }
      // A request can carry very many commands: after a stop none is started, the first
      // included (the exchange under way ends at the stop itself).
      if (stop.StopRequested()) continue;
      results.member(key) = exchange(text);
    }
  }

  JsonValue response;
  response.member("id") = request.member("id");
  response.member("result") = results.dump(1, "  ");
  return response.dump(1, "  ");
}

}  // namespace detail

std::string ExecuteRequest(std::string requestText, SerialPort* port, const StopToken& stop) {
  return detail::ExecuteRequestWith(
      requestText,
      [port, &stop](const std::string& command) { return ExchangeCommand(command, port, stop); },
      stop);
}

}  // namespace morvanix
