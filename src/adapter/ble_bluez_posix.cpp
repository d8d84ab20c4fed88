#include "adapter/ble_bluez_posix.h"

#include <poll.h>
#include <time.h>

#include <chrono>
#include <cstring>

#include "base/wait.h"

namespace morvanix {

namespace {

// sd-bus's own bound on a call, far beyond the caller's deadline, which ends the wait first.
constexpr std::uint64_t kCallTimeoutUsec = 120ull * 1000 * 1000;

std::uint64_t MonotonicUsec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

// The earlier of the caller's deadline and the bus's own next time-out (an absolute
// CLOCK_MONOTONIC time, UINT64_MAX for none).
Deadline WithBusTimeout(const Deadline& deadline, std::uint64_t busUsec) {
  if (busUsec == UINT64_MAX) return deadline;
  const std::uint64_t now = MonotonicUsec();
  const std::uint64_t left = busUsec > now ? busUsec - now : 0;
  return deadline.Sooner(Deadline::After(std::chrono::microseconds(left)));
}

bool ReadStrings(sd_bus_message* m, std::vector<std::string>& out) {
  out.clear();
  if (sd_bus_message_enter_container(m, 'a', "s") < 0) return false;
  const char* text = nullptr;
  int r = 0;
  while ((r = sd_bus_message_read_basic(m, 's', &text)) > 0) out.emplace_back(text);
  return r == 0 && sd_bus_message_exit_container(m) >= 0;
}

// One variant's value when its type is the one wanted; skipped otherwise.
template <typename Read>
bool ReadVariant(sd_bus_message* m, const char* wanted, Read read) {
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, nullptr, &contents) < 0 || contents == nullptr) return false;
  if (std::strcmp(contents, wanted) != 0) return sd_bus_message_skip(m, "v") >= 0;
  if (sd_bus_message_enter_container(m, 'v', wanted) < 0) return false;
  if (!read()) return false;
  return sd_bus_message_exit_container(m) >= 0;
}

bool ReadString(sd_bus_message* m, char type, std::string& out) {
  const char* text = nullptr;
  if (sd_bus_message_read_basic(m, type, &text) < 0) return false;
  out = text;
  return true;
}

bool ReadBool(sd_bus_message* m, bool& out) {
  int value = 0;
  if (sd_bus_message_read_basic(m, 'b', &value) < 0) return false;
  out = value != 0;
  return true;
}

BleCharacteristicFlags FlagsOf(const std::vector<std::string>& names) {
  BleCharacteristicFlags flags;
  for (const std::string& name : names) {
    if (name == "notify") flags.notify = true;
    if (name == "indicate") flags.indicate = true;
    if (name == "write") flags.write = true;
    if (name == "write-without-response") flags.writeWithoutResponse = true;
  }
  return flags;
}

bool ReadProperty(sd_bus_message* m, const std::string& interface, const std::string& key,
                  BluezObject& o) {
  const auto text = [&](std::string& out, char type = 's') {
    return ReadVariant(m, type == 's' ? "s" : "o", [&] { return ReadString(m, type, out); });
  };
  const auto flag = [&](bool& out) {
    return ReadVariant(m, "b", [&] { return ReadBool(m, out); });
  };
  if (interface == kAdapterInterface && key == "Powered") return flag(o.powered);
  if (interface == kDeviceInterface) {
    if (key == "Address") return text(o.address);
    if (key == "Name") return text(o.name);
    if (key == "Connected") return flag(o.connected);
    if (key == "ServicesResolved") return flag(o.servicesResolved);
    if (key == "UUIDs") return ReadVariant(m, "as", [&] { return ReadStrings(m, o.uuids); });
    if (key == "Adapter") return text(o.parent, 'o');
  }
  if (interface == kGattServiceInterface || interface == kGattCharacteristicInterface) {
    if (key == "UUID") return text(o.uuid);
    if (key == "Device" || key == "Service") return text(o.parent, 'o');
  }
  if (interface == kGattCharacteristicInterface && key == "Flags") {
    std::vector<std::string> names;
    if (!ReadVariant(m, "as", [&] { return ReadStrings(m, names); })) return false;
    o.flags = FlagsOf(names);
    return true;
  }
  return sd_bus_message_skip(m, "v") >= 0;
}

int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* reply = static_cast<BusReply*>(userdata);
  if (sd_bus_message_is_method_error(m, nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(m);
    reply->error = error != nullptr && error->name != nullptr ? error->name : "error";
  } else {
    reply->reply = BusMessage(sd_bus_message_ref(m));
  }
  return 1;
}

}  // namespace

BusMessage& BusMessage::operator=(BusMessage&& other) noexcept {
  if (this != &other) {
    if (message != nullptr) sd_bus_message_unref(message);
    message = other.message;
    other.message = nullptr;
  }
  return *this;
}

BusMessage::~BusMessage() {
  if (message != nullptr) sd_bus_message_unref(message);
}

std::unique_ptr<BluezBus> BluezBus::Connect() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0 || bus == nullptr) return nullptr;
  return std::unique_ptr<BluezBus>(new BluezBus(bus));
}

BluezBus::~BluezBus() {
  sd_bus_flush_close_unref(bus_);
}

bool BluezBus::Pump(const Deadline& deadline, const StopToken& stop) {
  if (broken_) return false;
  bool handled = false;
  for (;;) {
    const int r = sd_bus_process(bus_, nullptr);
    if (r < 0) {
      broken_ = true;
      return handled;
    }
    if (r == 0) break;
    handled = true;
  }
  if (handled) return true;
  if (stop.StopRequested() || deadline.Passed()) return false;
  const int fd = sd_bus_get_fd(bus_);
  const int events = sd_bus_get_events(bus_);
  std::uint64_t busUsec = UINT64_MAX;
  if (fd < 0 || events < 0 || sd_bus_get_timeout(bus_, &busUsec) < 0) {
    broken_ = true;
    return false;
  }
  const Deadline until = WithBusTimeout(deadline, busUsec);
  // Outgoing bytes first: a unix socket takes them at once, and the reply is read next.
  const WaitOutcome outcome =
      WaitFor(fd, (events & POLLOUT) != 0 ? Readiness::kWrite : Readiness::kRead, until, stop);
  if (outcome == WaitOutcome::kStopped || outcome == WaitOutcome::kFailed) return false;
  if (outcome == WaitOutcome::kTimedOut && deadline.Passed()) return false;
  // Ready, hung up or the bus's own time-out: sd_bus_process handles each.
  const int r = sd_bus_process(bus_, nullptr);
  if (r < 0) broken_ = true;
  return r > 0 || (!broken_ && !deadline.Passed());
}

BusReply BluezBus::Call(const std::string& path, const char* interface, const char* member,
                        const std::function<bool(sd_bus_message*)>& fill, const Deadline& deadline,
                        const StopToken& stop) {
  BusReply reply;
  sd_bus_message* raw = nullptr;
  if (broken_ ||
      sd_bus_message_new_method_call(bus_, &raw, kBluezName, path.c_str(), interface, member) < 0) {
    reply.error = "org.freedesktop.DBus.Error.Disconnected";
    return reply;
  }
  BusMessage call(raw);
  // A stack that is not running stays so: the check asks, it does not start one.
  (void)sd_bus_message_set_auto_start(call.message, 0);
  if (fill && !fill(call.message)) {
    reply.error = "org.freedesktop.DBus.Error.InvalidArgs";
    return reply;
  }
  sd_bus_slot* slot = nullptr;
  if (sd_bus_call_async(bus_, &slot, call.message, OnReply, &reply, kCallTimeoutUsec) < 0) {
    broken_ = true;
    reply.error = "org.freedesktop.DBus.Error.Disconnected";
    return reply;
  }
  while (!reply.Ok() && reply.error.empty() && Pump(deadline, stop)) {
  }
  // A call given up on: its reply, should it still come, goes nowhere.
  sd_bus_slot_unref(slot);
  if (!reply.Ok() && reply.error.empty() && broken_) {
    reply.error = "org.freedesktop.DBus.Error.Disconnected";
  }
  return reply;
}

BusReply BluezBus::Call(const std::string& path, const char* interface, const char* member,
                        const Deadline& deadline, const StopToken& stop) {
  return Call(path, interface, member, {}, deadline, stop);
}

bool BluezBus::ManagedObjects(std::vector<BluezObject>& objects, const Deadline& deadline,
                              const StopToken& stop) {
  objects.clear();
  BusReply reply =
      Call("/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", deadline, stop);
  if (!reply.Ok()) return false;
  sd_bus_message* m = reply.reply.message;
  if (sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}") < 0) return false;
  int r = 0;
  while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
    BluezObject object;
    if (!ReadString(m, 'o', object.path) || !ReadBluezInterfaces(m, object) ||
        sd_bus_message_exit_container(m) < 0) {
      return false;
    }
    objects.push_back(std::move(object));
  }
  return r == 0;
}

bool ReadBluezProperties(sd_bus_message* m, const std::string& interface, BluezObject& object) {
  if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) return false;
  int r = 0;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    std::string key;
    if (!ReadString(m, 's', key) || !ReadProperty(m, interface, key, object) ||
        sd_bus_message_exit_container(m) < 0) {
      return false;
    }
  }
  return r == 0 && sd_bus_message_exit_container(m) >= 0;
}

bool ReadBluezInterfaces(sd_bus_message* m, BluezObject& object) {
  if (sd_bus_message_enter_container(m, 'a', "{sa{sv}}") < 0) return false;
  int r = 0;
  while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
    std::string interface;
    if (!ReadString(m, 's', interface)) return false;
    if (interface == kAdapterInterface) object.adapter = true;
    if (interface == kDeviceInterface) object.device = true;
    if (interface == kGattServiceInterface) object.service = true;
    if (interface == kGattCharacteristicInterface) object.characteristic = true;
    if (!ReadBluezProperties(m, interface, object) || sd_bus_message_exit_container(m) < 0) {
      return false;
    }
  }
  return r == 0 && sd_bus_message_exit_container(m) >= 0;
}

std::vector<BleService> ServicesOf(const std::vector<BluezObject>& objects,
                                   const std::string& devicePath) {
  std::vector<BleService> services;
  for (const BluezObject& s : objects) {
    if (!s.service || s.parent != devicePath) continue;
    BleService service{s.uuid, {}};
    for (const BluezObject& c : objects) {
      if (c.characteristic && c.parent == s.path) {
        service.characteristics.push_back({c.uuid, c.path, c.flags});
      }
    }
    services.push_back(std::move(service));
  }
  return services;
}

}  // namespace morvanix
