#include "stub_fault.h"

#include <array>
#include <utility>

namespace morvanix::stub {

namespace {

constexpr std::array<std::pair<FaultKind, const char*>, 12> kKindNames{{
    {FaultKind::None, "none"},
    {FaultKind::Status, "status"},
    {FaultKind::Delay, "delay"},
    {FaultKind::Close, "close"},
    {FaultKind::CloseAfterReply, "close-after-reply"},
    {FaultKind::Truncate, "truncate"},
    {FaultKind::Garbage, "garbage"},
    {FaultKind::Huge, "huge"},
    {FaultKind::LongStatus, "long-status"},
    {FaultKind::LongReason, "long-reason"},
    {FaultKind::LongHeader, "long-header"},
    {FaultKind::ManyHeaders, "many-headers"},
}};

// Reads an optional integer member within [low, high]; false (with *error set) when the
// member is there but is not such an integer.
bool ReadInteger(const nlohmann::json& faultJson, const char* key, long long low, long long high,
                 long long* out, std::string* error) {
  const auto found = faultJson.find(key);
  if (found == faultJson.end()) return true;
  if (!found->is_number_integer() || found->get<long long>() < low ||
      found->get<long long>() > high) {
    *error = std::string("\"") + key + "\" must be an integer from " + std::to_string(low) +
             " to " + std::to_string(high);
    return false;
  }
  *out = found->get<long long>();
  return true;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  for (const auto& [value, name] : kKindNames) {
    if (value == kind) return name;
  }
  return "none";
}

std::optional<Fault> ParseFault(const nlohmann::json& faultJson, std::string* error) {
  if (!faultJson.is_object()) {
    *error = "the fault must be a JSON object";
    return std::nullopt;
  }
  Fault fault;
  const auto kind = faultJson.find("kind");
  if (kind != faultJson.end()) {
    if (!kind->is_string()) {
      *error = "\"kind\" must be a string";
      return std::nullopt;
    }
    bool known = false;
    for (const auto& [value, name] : kKindNames) {
      if (kind->get<std::string>() == name) {
        fault.kind = value;
        known = true;
      }
    }
    if (!known) {
      *error = "unknown fault kind \"" + kind->get<std::string>() + "\"";
      return std::nullopt;
    }
  }
  long long count = 1;
  long long status = fault.status;
  long long delay = 0;
  long long bytes = static_cast<long long>(fault.bytes);
  if (!ReadInteger(faultJson, "count", 0, 1000000, &count, error) ||
      !ReadInteger(faultJson, "status", 100, 599, &status, error) ||
      !ReadInteger(faultJson, "delay_ms", 0, kMaxFaultDelayMs, &delay, error) ||
      !ReadInteger(faultJson, "bytes", 0, static_cast<long long>(kMaxHugeBytes), &bytes, error)) {
    return std::nullopt;
  }
  const auto body = faultJson.find("body");
  if (body != faultJson.end()) {
    if (!body->is_string()) {
      *error = "\"body\" must be a string";
      return std::nullopt;
    }
    fault.body = body->get<std::string>();
  }
  fault.remaining = fault.kind == FaultKind::None ? 0 : static_cast<int>(count);
  fault.status = static_cast<int>(status);
  fault.delayMs = static_cast<int>(delay);
  fault.bytes = static_cast<std::size_t>(bytes);
  return fault;
}

}  // namespace morvanix::stub
