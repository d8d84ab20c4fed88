#include "remote/request_executor.h"

#include "adapter/adapter_exchange.h"
#include "json/json_value.h"

namespace morvanix {

namespace detail {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;  // every position would match and the loop would never end
  std::size_t position = 0;
  while ((position = text.find(from, position)) != std::string::npos) {
    text.replace(position, from.size(), to);
    position += to.size();
  }
}

std::string ExecuteRequestWith(const std::string& requestText, const CommandExchange& exchange) {
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
      } else {
        results.member(key) = exchange(text);
      }
    }
  }

  JsonValue response;
  response.member("id") = request.member("id");
  response.member("result") = results.dump(1, "  ");
  return response.dump(1, "  ");
}

}  // namespace detail

std::string ExecuteRequest(std::string requestText, SerialPort* port) {
  return detail::ExecuteRequestWith(
      requestText, [port](const std::string& command) { return ExchangeCommand(command, port); });
}

}  // namespace morvanix
