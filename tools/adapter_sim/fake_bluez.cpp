#include "fake_bluez.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
constexpr const char* kDeviceInterface = "org.bluez.Device1";
constexpr const char* kServiceInterface = "org.bluez.GattService1";
constexpr const char* kCharacteristicInterface = "org.bluez.GattCharacteristic1";
constexpr const char* kAdapterAddress = "00:AA:01:00:00:01";
constexpr const char* kGenericAttribute = "00001801-0000-1000-8000-00805f9b34fb";
constexpr std::size_t kMaxValue = 20;  // the default MTU's payload
constexpr std::size_t kTerminalChunk = 512;
// sd-bus answers only root and its own user unless told otherwise; BlueZ leaves who may call
// to the bus's policy, and so does the fake, so that a service's own user can be tried.
constexpr std::uint64_t kAnyCaller = SD_BUS_VTABLE_UNPRIVILEGED;

struct LayoutRow {
  BleLayout layout;
  const char* name;
  const char* service;
  std::vector<std::pair<const char*, std::vector<std::string>>> characteristics;
};

const std::vector<LayoutRow>& Layouts() {
  static const std::vector<LayoutRow> rows = {
      {BleLayout::kFff0,
       "fff0",
       "0000fff0-0000-1000-8000-00805f9b34fb",
       {{"0000fff1-0000-1000-8000-00805f9b34fb", {"read", "notify"}},
        {"0000fff2-0000-1000-8000-00805f9b34fb", {"write-without-response", "write"}}}},
      {BleLayout::kFfe0,
       "ffe0",
       "0000ffe0-0000-1000-8000-00805f9b34fb",
       {{"0000ffe1-0000-1000-8000-00805f9b34fb",
         {"read", "write-without-response", "write", "notify"}}}},
      // Write with response only, as many of these modules have it.
      {BleLayout::k18f0,
       "18f0",
       "000018f0-0000-1000-8000-00805f9b34fb",
       {{"00002af0-0000-1000-8000-00805f9b34fb", {"notify"}},
        {"00002af1-0000-1000-8000-00805f9b34fb", {"write"}}}},
      {BleLayout::kE781,
       "e781",
       "e7810a71-73ae-499d-8c15-faa9aef0c3f2",
       {{"bef8d6c9-9c21-4c9e-b632-bd58c1009f9f",
         {"read", "write-without-response", "write", "notify", "indicate"}}}},
  };
  return rows;
}

bool Has(const std::vector<std::string>& flags, const char* flag) {
  for (const std::string& f : flags) {
    if (f == flag) return true;
  }
  return false;
}

int AppendStrings(sd_bus_message* reply, const std::vector<std::string>& strings) {
  int r = sd_bus_message_open_container(reply, 'a', "s");
  for (const std::string& s : strings) {
    if (r >= 0) r = sd_bus_message_append(reply, "s", s.c_str());
  }
  return r >= 0 ? sd_bus_message_close_container(reply) : r;
}

int Fail(sd_bus_message* m, const char* name, const char* text) {
  return sd_bus_reply_method_errorf(m, name, "%s", text);
}

const sd_bus_vtable* AdapterVtable(sd_bus_message_handler_t filter, sd_bus_message_handler_t start,
                                   sd_bus_message_handler_t stop, sd_bus_property_get_t get) {
  static const sd_bus_vtable vtable[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Address", "s", get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Powered", "b", get, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Discovering", "b", get, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_METHOD("SetDiscoveryFilter", "a{sv}", "", filter, kAnyCaller),
      SD_BUS_METHOD("StartDiscovery", "", "", start, kAnyCaller),
      SD_BUS_METHOD("StopDiscovery", "", "", stop, kAnyCaller),
      SD_BUS_VTABLE_END};
  return vtable;
}

}  // namespace

std::optional<BleLayout> ParseBleLayout(const std::string& name) {
  for (const LayoutRow& row : Layouts()) {
    if (name == row.name) return row.layout;
  }
  return std::nullopt;
}

const char* BleLayoutName(BleLayout layout) {
  for (const LayoutRow& row : Layouts()) {
    if (row.layout == layout) return row.name;
  }
  return "?";
}

std::string BleLayoutNames() {
  std::string names;
  for (const LayoutRow& row : Layouts())
    names += (names.empty() ? "" : " ") + std::string(row.name);
  return names;
}

FakeBluez::FakeBluez(FakeBluezOptions options) : options_(std::move(options)) {
  std::string pathAddress = options_.address;
  for (char& c : pathAddress) {
    if (c == ':') c = '_';
  }
  devicePath_ = adapterPath_ + "/dev_" + pathAddress;
  genericServicePath_ = devicePath_ + "/service0001";
  servicePath_ = devicePath_ + "/service0028";
  characteristics_.push_back({"00002a05-0000-1000-8000-00805f9b34fb",
                              {"indicate"},
                              genericServicePath_ + "/char0002",
                              false,
                              {}});
  for (const LayoutRow& row : Layouts()) {
    if (row.layout != options_.layout) continue;
    serviceUuid_ = row.service;
    int handle = 0x29;
    for (const auto& [uuid, flags] : row.characteristics) {
      char suffix[16];
      std::snprintf(suffix, sizeof suffix, "/char%04x", handle);
      characteristics_.push_back({uuid, flags, servicePath_ + suffix, false, {}});
      handle += 3;
    }
  }
}

FakeBluez::~FakeBluez() {
  Stop();
}

bool FakeBluez::Start() {
  int r = sd_bus_new(&bus_);
  if (r >= 0 && !options_.busAddress.empty()) {
    r = sd_bus_set_address(bus_, options_.busAddress.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus_, 1);
    if (r >= 0) r = sd_bus_start(bus_);
  } else if (r >= 0) {
    sd_bus_unref(bus_);
    bus_ = nullptr;
    r = sd_bus_open_system(&bus_);
  }
  if (r < 0) {
    failure_ = std::string("cannot connect to the bus: ") + std::strerror(-r);
    return false;
  }
  if (!options_.terminalPath.empty()) {
    terminal_ = ::open(options_.terminalPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (terminal_ < 0) {
      failure_ = "cannot open " + options_.terminalPath + ": " + std::strerror(errno);
      return false;
    }
  }
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0 || !Register()) {
    if (failure_.empty()) failure_ = "cannot serve the objects";
    return false;
  }
  r = sd_bus_request_name(bus_, "org.bluez", 0);
  if (r < 0) {
    failure_ = std::string("cannot take the name org.bluez: ") + std::strerror(-r);
    return false;
  }
  worker_ = std::thread([this] { Serve(); });
  return true;
}

void FakeBluez::Stop() {
  stopping_ = true;
  if (wake_[1] >= 0) (void)::write(wake_[1], "x", 1);
  if (worker_.joinable()) worker_.join();
  for (sd_bus_slot*& slot : slots_) slot = sd_bus_slot_unref(slot);
  slots_.clear();
  if (bus_ != nullptr) bus_ = sd_bus_flush_close_unref(bus_);
  for (int* fd : {&terminal_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

bool FakeBluez::Register() {
  sd_bus_slot* slot = nullptr;
  if (sd_bus_add_object_manager(bus_, &slot, "/") < 0) return false;
  slots_.push_back(slot);
  if (sd_bus_add_object_vtable(bus_, &slot, adapterPath_.c_str(), kAdapterInterface,
                               AdapterVtable(OnSetFilter, OnStartDiscovery, OnStopDiscovery, Get),
                               this) < 0) {
    return false;
  }
  slots_.push_back(slot);
  return !options_.known || ShowDevice();
}

bool FakeBluez::ShowDevice() {
  static const sd_bus_vtable device[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("Address", "s", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Name", "s", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Alias", "s", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Adapter", "o", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("UUIDs", "as", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Paired", "b", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Connected", "b", Get, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("ServicesResolved", "b", Get, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_METHOD("Connect", "", "", OnConnect, kAnyCaller),
      SD_BUS_METHOD("Disconnect", "", "", OnDisconnect, kAnyCaller),
      SD_BUS_VTABLE_END};
  static const sd_bus_vtable service[] = {
      SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("UUID", "s", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Device", "o", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Primary", "b", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST), SD_BUS_VTABLE_END};
  static const sd_bus_vtable characteristic[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_PROPERTY("UUID", "s", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Service", "o", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Flags", "as", Get, 0, SD_BUS_VTABLE_PROPERTY_CONST),
      SD_BUS_PROPERTY("Notifying", "b", Get, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_PROPERTY("Value", "ay", Get, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
      SD_BUS_METHOD("StartNotify", "", "", OnStartNotify, kAnyCaller),
      SD_BUS_METHOD("StopNotify", "", "", OnStopNotify, kAnyCaller),
      SD_BUS_METHOD("WriteValue", "aya{sv}", "", OnWriteValue, kAnyCaller),
      SD_BUS_VTABLE_END};
  std::vector<std::pair<std::string, std::pair<const char*, const sd_bus_vtable*>>> objects = {
      {devicePath_, {kDeviceInterface, device}},
      {genericServicePath_, {kServiceInterface, service}},
      {servicePath_, {kServiceInterface, service}}};
  for (const Characteristic& c : characteristics_) {
    objects.push_back({c.path, {kCharacteristicInterface, characteristic}});
  }
  for (const auto& [path, table] : objects) {
    sd_bus_slot* slot = nullptr;
    if (sd_bus_add_object_vtable(bus_, &slot, path.c_str(), table.first, table.second, this) < 0) {
      return false;
    }
    slots_.push_back(slot);
  }
  shown_ = true;
  return true;
}

FakeBluez::Characteristic* FakeBluez::CharacteristicAt(const char* path) {
  for (Characteristic& c : characteristics_) {
    if (c.path == path) return &c;
  }
  return nullptr;
}

int FakeBluez::Get(sd_bus*, const char* path, const char* interface, const char* property,
                   sd_bus_message* reply, void* self, sd_bus_error*) {
  auto* fake = static_cast<FakeBluez*>(self);
  const std::string p = path;
  const std::string key = property;
  const auto text = [&](const std::string& s) {
    return sd_bus_message_append(reply, "s", s.c_str());
  };
  const auto object = [&](const std::string& s) {
    return sd_bus_message_append(reply, "o", s.c_str());
  };
  const auto flag = [&](bool on) { return sd_bus_message_append(reply, "b", on ? 1 : 0); };
  if (std::strcmp(interface, kAdapterInterface) == 0) {
    if (key == "Address") return text(kAdapterAddress);
    if (key == "Powered") return flag(fake->options_.powered);
    return flag(fake->discovering_.load());
  }
  if (std::strcmp(interface, kDeviceInterface) == 0) {
    if (key == "Address") return text(fake->options_.address);
    if (key == "Name" || key == "Alias") return text(fake->options_.name);
    if (key == "Adapter") return object(fake->adapterPath_);
    if (key == "Paired") return flag(fake->options_.known);
    if (key == "Connected") return flag(fake->connected_.load());
    if (key == "ServicesResolved") return flag(fake->servicesResolved_);
    std::vector<std::string> uuids = {kGenericAttribute};
    if (fake->options_.advertiseService) uuids.push_back(fake->serviceUuid_);
    return AppendStrings(reply, uuids);
  }
  if (std::strcmp(interface, kServiceInterface) == 0) {
    if (key == "UUID")
      return text(p == fake->servicePath_ ? fake->serviceUuid_ : kGenericAttribute);
    if (key == "Device") return object(fake->devicePath_);
    return flag(true);
  }
  Characteristic* c = fake->CharacteristicAt(path);
  if (c == nullptr) return -ENOENT;
  if (key == "UUID") return text(c->uuid);
  if (key == "Service") return object(p.substr(0, p.rfind('/')));
  if (key == "Flags") return AppendStrings(reply, c->flags);
  if (key == "Notifying") return flag(c->notifying);
  return sd_bus_message_append_array(reply, 'y', c->value.data(), c->value.size());
}

int FakeBluez::OnSetFilter(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "");
}

int FakeBluez::OnStartDiscovery(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* fake = static_cast<FakeBluez*>(self);
  if (!fake->options_.powered) return Fail(m, "org.bluez.Error.NotReady", "Resource Not Ready");
  ++fake->scans_;
  fake->discovering_ = true;
  int r = sd_bus_reply_method_return(m, "");
  (void)sd_bus_emit_properties_changed(fake->bus_, fake->adapterPath_.c_str(), kAdapterInterface,
                                       "Discovering", nullptr);
  if (!fake->shown_ && fake->ShowDevice()) {
    (void)sd_bus_emit_object_added(fake->bus_, fake->devicePath_.c_str());
  }
  return r;
}

int FakeBluez::OnStopDiscovery(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* fake = static_cast<FakeBluez*>(self);
  fake->discovering_ = false;
  const int r = sd_bus_reply_method_return(m, "");
  (void)sd_bus_emit_properties_changed(fake->bus_, fake->adapterPath_.c_str(), kAdapterInterface,
                                       "Discovering", nullptr);
  return r;
}

int FakeBluez::OnConnect(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* fake = static_cast<FakeBluez*>(self);
  ++fake->connects_;
  if (!fake->options_.powered) return Fail(m, "org.bluez.Error.NotReady", "Resource Not Ready");
  // An adapter whose power went away is out of reach.
  if (!fake->options_.terminalPath.empty() && fake->terminal_ < 0) {
    return Fail(m, "org.bluez.Error.Failed", "le-connection-abort-by-local");
  }
  // Taken, and never answered.
  if (fake->options_.connectNeverAnswers) return 1;
  if (!fake->connected_) {
    fake->connected_ = true;
    (void)sd_bus_emit_properties_changed(fake->bus_, fake->devicePath_.c_str(), kDeviceInterface,
                                         "Connected", nullptr);
  }
  const int r = sd_bus_reply_method_return(m, "");
  // The services are resolved after the connection is there, as BlueZ reports them.
  if (!fake->servicesResolved_) {
    fake->servicesResolved_ = true;
    (void)sd_bus_emit_properties_changed(fake->bus_, fake->devicePath_.c_str(), kDeviceInterface,
                                         "ServicesResolved", nullptr);
  }
  return r;
}

int FakeBluez::OnDisconnect(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* fake = static_cast<FakeBluez*>(self);
  fake->SetConnected(false);
  return sd_bus_reply_method_return(m, "");
}

void FakeBluez::SetConnected(bool on) {
  if (on || !connected_) return;
  connected_ = false;
  servicesResolved_ = false;
  for (Characteristic& c : characteristics_) c.notifying = false;
  (void)sd_bus_emit_properties_changed(bus_, devicePath_.c_str(), kDeviceInterface,
                                       "ServicesResolved", "Connected", nullptr);
}

int FakeBluez::OnStartNotify(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* fake = static_cast<FakeBluez*>(self);
  Characteristic* c = fake->CharacteristicAt(sd_bus_message_get_path(m));
  if (c == nullptr || (!Has(c->flags, "notify") && !Has(c->flags, "indicate"))) {
    return Fail(m, "org.bluez.Error.NotSupported", "Operation is not supported");
  }
  if (!fake->connected_) return Fail(m, "org.bluez.Error.Failed", "Not connected");
  c->notifying = true;
  const int r = sd_bus_reply_method_return(m, "");
  (void)sd_bus_emit_properties_changed(fake->bus_, c->path.c_str(), kCharacteristicInterface,
                                       "Notifying", nullptr);
  return r;
}

int FakeBluez::OnStopNotify(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* fake = static_cast<FakeBluez*>(self);
  if (Characteristic* c = fake->CharacteristicAt(sd_bus_message_get_path(m))) c->notifying = false;
  return sd_bus_reply_method_return(m, "");
}

int FakeBluez::OnWriteValue(sd_bus_message* m, void* self, sd_bus_error*) {
  auto* fake = static_cast<FakeBluez*>(self);
  Characteristic* c = fake->CharacteristicAt(sd_bus_message_get_path(m));
  const void* data = nullptr;
  std::size_t size = 0;
  int r = sd_bus_message_read_array(m, 'y', &data, &size);
  if (r < 0) return r;
  std::string type;
  r = sd_bus_message_enter_container(m, 'a', "{sv}");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    const char* value = nullptr;
    if (sd_bus_message_read(m, "s", &key) < 0) return -EINVAL;
    if (std::strcmp(key, "type") == 0 && sd_bus_message_read(m, "v", "s", &value) >= 0) {
      type = value;
    } else if (sd_bus_message_skip(m, "v") < 0) {
      return -EINVAL;
    }
    (void)sd_bus_message_exit_container(m);
  }
  if (c == nullptr) return Fail(m, "org.bluez.Error.NotSupported", "Operation is not supported");
  if (type.empty()) type = Has(c->flags, "write") ? "request" : "command";
  const bool allowed = (type == "command" && Has(c->flags, "write-without-response")) ||
                       (type == "request" && Has(c->flags, "write"));
  if (!allowed) {
    ++fake->refused_;
    return Fail(m, "org.bluez.Error.NotSupported", "Operation is not supported");
  }
  if (size > kMaxValue) {
    ++fake->refused_;
    return Fail(m, "org.bluez.Error.InvalidValueLength", "Invalid Length");
  }
  if (!fake->connected_) return Fail(m, "org.bluez.Error.Failed", "Not connected");
  if (fake->terminal_ >= 0) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t w = ::write(fake->terminal_, bytes, size);
      if (w <= 0) {
        pollfd p{fake->terminal_, POLLOUT, 0};
        if (w < 0 && errno != EAGAIN && errno != EINTR) break;
        if (poll(&p, 1, 1000) <= 0) break;
        continue;
      }
      bytes += w;
      size -= static_cast<std::size_t>(w);
    }
  }
  return sd_bus_reply_method_return(m, "");
}

void FakeBluez::Notify(const char* data, std::size_t n) {
  for (Characteristic& c : characteristics_) {
    if (!c.notifying || !Has(c.flags, "notify")) continue;
    for (std::size_t at = 0; at < n; at += kMaxValue) {
      const std::size_t size = std::min(kMaxValue, n - at);
      c.value.assign(data + at, data + at + size);
      (void)sd_bus_emit_properties_changed(bus_, c.path.c_str(), kCharacteristicInterface, "Value",
                                           nullptr);
      ++notifications_;
    }
    return;
  }
}

void FakeBluez::TerminalGone() {
  ::close(terminal_);
  terminal_ = -1;
  SetConnected(false);
}

void FakeBluez::Serve() {
  char buffer[kTerminalChunk];
  while (!stopping_) {
    int r = 0;
    while ((r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    if (r < 0) break;
    std::uint64_t until = UINT64_MAX;
    (void)sd_bus_get_timeout(bus_, &until);
    int ms = -1;
    if (until != UINT64_MAX) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const std::uint64_t nowUs = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                  static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
      ms = until <= nowUs
               ? 0
               : static_cast<int>(std::min<std::uint64_t>((until - nowUs + 999) / 1000, INT_MAX));
    }
    pollfd fds[3] = {{sd_bus_get_fd(bus_), static_cast<short>(sd_bus_get_events(bus_)), 0},
                     {wake_[0], POLLIN, 0},
                     {terminal_, POLLIN, 0}};
    if (poll(fds, terminal_ >= 0 ? 3 : 2, ms) < 0 && errno != EINTR) break;
    if (terminal_ >= 0 && fds[2].revents != 0) {
      const ssize_t n = ::read(terminal_, buffer, sizeof buffer);
      if (n > 0) {
        // What the adapter sends while nobody listens is lost, as over the radio.
        if (connected_) Notify(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        TerminalGone();
      }
    }
  }
  (void)sd_bus_flush(bus_);
}
