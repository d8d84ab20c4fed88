// The BLE link's GATT calls on Windows: BluetoothApis.dll's LE functions, loaded at run time
// so that a Windows without them (before 8, or a build of Wine that lacks them) simply has
// no BLE, and SetupAPI for the paired devices.
//
// Where these calls block (none takes a time-out or a stop): SetupAPI, CreateFile and the
// event registration answer from the system at once. The service, characteristic and
// descriptor lists of a paired device come from the cache the system filled at pairing,
// unless it is empty. The descriptor write and a write with response wait for the device's
// answer, and the first request to a device that is not connected (out of range) waits for
// the connection too; the stack ends such a request at its attribute protocol time-out
// (30 s), reported as ERROR_SEM_TIMEOUT. A write without response returns once the stack has
// queued it. UnregisterEvent returns after a callback that is running has returned. So every
// call that may reach the device runs on a thread of its own (RunBounded): the link waits
// for it until Open's bound (kBleConnectBound), the write's deadline, or the stop.
#include "adapter/ble_gatt_api_win32.h"

#include <windows.h>
// SetupAPI after windows.h.
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "adapter/ble_gatt.h"
#include "adapter/ble_le_api_win32.h"
#include "adapter/ble_link.h"
#include "adapter/bounded_call.h"

namespace morvanix {

namespace {

using namespace btle;

// Every list a buffer of a known size: a device with more than this is no adapter.
constexpr USHORT kMaxServices = 64;
constexpr USHORT kMaxCharacteristics = 64;
constexpr USHORT kMaxDescriptors = 16;
constexpr DWORD kMaxInterfaces = 256;
constexpr DWORD kMaxInterfaceDetailBytes = 4096;

template <typename Fn>
bool Resolve(HMODULE module, const char* name, Fn& fn) {
  const FARPROC found = GetProcAddress(module, name);
  // Through void(*)(), the one function type that converts to any other without a warning.
  fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(found));
  return found != nullptr;
}

// Loaded once and never freed: the link's callbacks run from it.
const GattFunctions* Gatt() {
  static const GattFunctions* const functions = []() -> const GattFunctions* {
    // Only from the system folder, never from the agent's own or the current one.
    const HMODULE module =
        LoadLibraryExW(L"BluetoothApis.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return nullptr;
    static GattFunctions f;
    const bool all =
        Resolve(module, "BluetoothGATTGetServices", f.getServices) &&
        Resolve(module, "BluetoothGATTGetCharacteristics", f.getCharacteristics) &&
        Resolve(module, "BluetoothGATTGetDescriptors", f.getDescriptors) &&
        Resolve(module, "BluetoothGATTSetDescriptorValue", f.setDescriptorValue) &&
        Resolve(module, "BluetoothGATTSetCharacteristicValue", f.setCharacteristicValue) &&
        Resolve(module, "BluetoothGATTRegisterEvent", f.registerEvent) &&
        Resolve(module, "BluetoothGATTUnregisterEvent", f.unregisterEvent);
    return all ? &f : nullptr;
  }();
  return functions;
}

std::string Narrow(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

std::wstring Widen(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 1) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

GUID GuidOf(const UuidFields& f) {
  GUID g{};
  g.Data1 = f.data1;
  g.Data2 = f.data2;
  g.Data3 = f.data3;
  std::copy(f.data4.begin(), f.data4.end(), g.Data4);
  return g;
}

std::string UuidTextOf(const BTH_LE_UUID& uuid) {
  if (uuid.IsShortUuid) {
    char text[5];
    std::snprintf(text, sizeof text, "%04x", static_cast<unsigned>(uuid.Value.ShortUuid));
    return text;
  }
  const GUID& g = uuid.Value.LongUuid;
  UuidFields f;
  f.data1 = g.Data1;
  f.data2 = g.Data2;
  f.data3 = g.Data3;
  std::copy(std::begin(g.Data4), std::end(g.Data4), f.data4.begin());
  return UuidText(f);
}

std::string FriendlyName(HDEVINFO set, SP_DEVINFO_DATA& info) {
  wchar_t name[256] = {};
  for (const DWORD property : std::initializer_list<DWORD>{SPDRP_FRIENDLYNAME, SPDRP_DEVICEDESC}) {
    if (SetupDiGetDeviceRegistryPropertyW(set, &info, property, nullptr,
                                          reinterpret_cast<BYTE*>(name),
                                          sizeof name - sizeof(wchar_t), nullptr)) {
      return Narrow(name);
    }
  }
  return {};
}

// Calls visit(set, info, path) for each present interface of the class, in SetupAPI's order.
template <typename Visit>
void ForEachInterface(const GUID& interfaceClass, Visit visit) {
  const HDEVINFO set = SetupDiGetClassDevsW(&interfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD index = 0; index < kMaxInterfaces; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    // ERROR_NO_MORE_ITEMS, or any other failure: the list ends there.
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &data)) break;
    DWORD need = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &need, nullptr);
    if (need < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) || need > kMaxInterfaceDetailBytes) {
      continue;
    }
    // DWORDs, for the detail structure's alignment.
    std::vector<DWORD> buffer(need / sizeof(DWORD) + 1);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof *detail;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail,
                                          static_cast<DWORD>(buffer.size() * sizeof(DWORD)),
                                          nullptr, &info)) {
      continue;
    }
    visit(set, info, Narrow(detail->DevicePath));
  }
  SetupDiDestroyDeviceInfoList(set);
}

// What a call's failure says about the device: these mean it is not there any more (removed,
// unpaired, or out of reach so that the stack's request timed out).
bool MeansGone(HRESULT result) {
  constexpr DWORD kNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, which mingw's headers lack
  for (const DWORD e :
       std::initializer_list<DWORD>{ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED, kNoSuchDevice,
                                    ERROR_DEV_NOT_EXIST, ERROR_SEM_TIMEOUT}) {
    if (result == HRESULT_FROM_WIN32(e)) return true;
  }
  return false;
}

// The two-call pattern of the GATT list functions: the count, then the list; an empty list
// (ERROR_NOT_FOUND, or a count of 0) and a failure both give nothing.
template <typename T, typename Call>
std::vector<T> List(USHORT most, Call call) {
  USHORT count = 0;
  const HRESULT sized = call(USHORT{0}, static_cast<T*>(nullptr), &count);
  if (sized != HRESULT_FROM_WIN32(ERROR_MORE_DATA) || count == 0) return {};
  std::vector<T> items(std::min(count, most));
  USHORT actual = 0;
  const HRESULT listed = call(static_cast<USHORT>(items.size()), items.data(), &actual);
  // More than fit is a list cut at our bound, not a failure.
  if (FAILED(listed) && listed != HRESULT_FROM_WIN32(ERROR_MORE_DATA)) return {};
  items.resize(std::min<std::size_t>(actual, items.size()));
  return items;
}

// What a registration hands the system's thread; kept until the api object ends.
struct CallbackContext {
  BleGattApi::ValueChanged onChange;
};

void CALLBACK OnGattEvent(BTH_LE_GATT_EVENT_TYPE type, PVOID eventOut, PVOID context) {
  if (type != CharacteristicValueChangedEvent || eventOut == nullptr || context == nullptr) return;
  const auto* event = static_cast<const BLUETOOTH_GATT_VALUE_CHANGED_EVENT*>(eventOut);
  const BTH_LE_GATT_CHARACTERISTIC_VALUE* value = event->CharacteristicValue;
  if (value == nullptr) return;
  std::size_t n = value->DataSize;
  // The size given for the whole value bounds what is read from it.
  const std::size_t header = offsetof(BTH_LE_GATT_CHARACTERISTIC_VALUE, Data);
  if (event->CharacteristicValueDataSize >= header) {
    n = std::min(n, event->CharacteristicValueDataSize - header);
  }
  const auto* target = static_cast<const CallbackContext*>(context);
  if (n > 0 && target->onChange) target->onChange(value->Data, n);
}

// A chunk's value as the write takes it: the header and at most one chunk of bytes.
struct ChunkValue {
  static constexpr std::size_t kHeader = offsetof(BTH_LE_GATT_CHARACTERISTIC_VALUE, Data);
  alignas(BTH_LE_GATT_CHARACTERISTIC_VALUE) unsigned char bytes[kHeader + kBleChunkBytes] = {};
  BTH_LE_GATT_CHARACTERISTIC_VALUE* Value() {
    return reinterpret_cast<BTH_LE_GATT_CHARACTERISTIC_VALUE*>(bytes);
  }
};

// The service table as the device listed it: its services and each one's characteristics.
struct ListedServices {
  std::vector<BTH_LE_GATT_SERVICE> services;
  std::vector<std::vector<BTH_LE_GATT_CHARACTERISTIC>> characteristics;
};

ListedServices ListServices(const GattFunctions& f, HANDLE device) {
  ListedServices listed;
  listed.services = List<BTH_LE_GATT_SERVICE>(
      kMaxServices, [&](USHORT n, BTH_LE_GATT_SERVICE* out, USHORT* actual) {
        return f.getServices(device, n, out, actual, BLUETOOTH_GATT_FLAG_NONE);
      });
  for (BTH_LE_GATT_SERVICE service : listed.services) {
    // A service whose characteristics cannot be read is listed without them, so the choice
    // of characteristics passes over it.
    listed.characteristics.push_back(List<BTH_LE_GATT_CHARACTERISTIC>(
        kMaxCharacteristics, [&](USHORT n, BTH_LE_GATT_CHARACTERISTIC* out, USHORT* actual) {
          return f.getCharacteristics(device, &service, n, out, actual, BLUETOOTH_GATT_FLAG_NONE);
        }));
  }
  return listed;
}

// Writes the characteristic's client configuration descriptor: notifications where it has
// them, else indications. ERROR_NOT_FOUND when it has no such descriptor.
HRESULT SubscribeOn(const GattFunctions& f, HANDLE device, BTH_LE_GATT_CHARACTERISTIC c) {
  const std::vector<BTH_LE_GATT_DESCRIPTOR> descriptors = List<BTH_LE_GATT_DESCRIPTOR>(
      kMaxDescriptors, [&](USHORT n, BTH_LE_GATT_DESCRIPTOR* out, USHORT* actual) {
        return f.getDescriptors(device, &c, n, out, actual, BLUETOOTH_GATT_FLAG_NONE);
      });
  for (BTH_LE_GATT_DESCRIPTOR descriptor : descriptors) {
    if (descriptor.DescriptorType != ClientCharacteristicConfiguration) continue;
    BTH_LE_GATT_DESCRIPTOR_VALUE value{};
    value.DescriptorType = ClientCharacteristicConfiguration;
    value.Value.ClientCharacteristicConfiguration.IsSubscribeToNotification = c.IsNotifiable;
    value.Value.ClientCharacteristicConfiguration.IsSubscribeToIndication =
        c.IsNotifiable ? FALSE : c.IsIndicatable;
    return f.setDescriptorValue(device, &descriptor, &value, BLUETOOTH_GATT_FLAG_NONE);
  }
  return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

class Win32GattApi final : public BleGattApi {
 public:
  Win32GattApi(const GattFunctions& f, StopToken stop, Deadline connectBy)
      : f_(f), stop_(std::move(stop)), connectBy_(connectBy) {}
  ~Win32GattApi() override {
    UnregisterValueChanged();
    CloseDevice();
  }

  std::vector<Device> PairedDevices() override { return PairedCandidates(ListPairedLeDevices()); }

  bool OpenDevice(const std::string& path) override {
    CloseDevice();
    const std::wstring wide = Widen(path);
    if (wide.empty()) return false;
    device_ = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device_ == INVALID_HANDLE_VALUE) return false;
    // The steps of the link's Open that reach the device share one bound.
    openBy_ = Deadline::After(kBleConnectBound).Sooner(connectBy_);
    gone_ = std::make_shared<std::atomic<bool>>(false);
    return true;
  }

  void CloseDevice() override {
    if (device_ != INVALID_HANDLE_VALUE) CloseHandle(device_);
    device_ = INVALID_HANDLE_VALUE;
    characteristics_.clear();
    onGone_ = nullptr;
  }

  bool Services(std::vector<BleService>& services) override {
    services.clear();
    characteristics_.clear();
    // The functions' table lives as long as the process, as a call left behind may.
    const GattFunctions* f = &f_;
    const std::optional<ListedServices> listed = Reach<ListedServices>(
        [f](HANDLE device) { return ListServices(*f, device); }, openBy_, stop_);
    if (!listed || listed->services.empty()) return false;
    for (std::size_t i = 0; i < listed->services.size(); ++i) {
      BleService described;
      described.uuid = UuidTextOf(listed->services[i].ServiceUuid);
      for (const BTH_LE_GATT_CHARACTERISTIC& c : listed->characteristics[i]) {
        BleCharacteristic shown;
        shown.uuid = UuidTextOf(c.CharacteristicUuid);
        shown.handle = std::to_string(c.AttributeHandle);
        shown.flags.notify = c.IsNotifiable != 0;
        shown.flags.indicate = c.IsIndicatable != 0;
        shown.flags.write = c.IsWritable != 0;
        shown.flags.writeWithoutResponse = c.IsWritableWithoutResponse != 0;
        described.characteristics.push_back(std::move(shown));
        characteristics_.push_back(c);
      }
      services.push_back(std::move(described));
    }
    return true;
  }

  // A registration with the system only: it does not wait for the device.
  bool RegisterValueChanged(const std::string& characteristic, ValueChanged onChange,
                            Gone onGone) override {
    UnregisterValueChanged();
    const BTH_LE_GATT_CHARACTERISTIC* c = Find(characteristic);
    if (c == nullptr || device_ == INVALID_HANDLE_VALUE) return false;
    BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION registration{};
    registration.NumCharacteristics = 1;
    registration.Characteristics[0] = *c;
    contexts_.push_back(std::make_unique<CallbackContext>(CallbackContext{std::move(onChange)}));
    BLUETOOTH_GATT_EVENT_HANDLE handle = nullptr;
    const HRESULT result =
        f_.registerEvent(device_, CharacteristicValueChangedEvent, &registration, &OnGattEvent,
                         contexts_.back().get(), &handle, BLUETOOTH_GATT_FLAG_NONE);
    if (FAILED(result)) return false;
    registration_ = handle;
    // The API tells of no disconnect: a call to the device that finds it gone, also one the
    // link stopped waiting for, tells the link through this.
    onGone_ = std::move(onGone);
    return true;
  }

  void UnregisterValueChanged() override {
    if (registration_ != nullptr) (void)f_.unregisterEvent(registration_, BLUETOOTH_GATT_FLAG_NONE);
    registration_ = nullptr;
  }

  bool EnableNotifications(const std::string& characteristic) override {
    const BTH_LE_GATT_CHARACTERISTIC* found = Find(characteristic);
    if (found == nullptr) return false;
    const GattFunctions* f = &f_;
    const BTH_LE_GATT_CHARACTERISTIC c = *found;
    const std::optional<HRESULT> result = Reach<HRESULT>(
        [f, c](HANDLE device) { return SubscribeOn(*f, device, c); }, openBy_, stop_);
    return result && SUCCEEDED(*result);
  }

  WriteResult WriteValue(const std::string& characteristic, const char* data, std::size_t n,
                         BleWriteType type, const Deadline& deadline,
                         const StopToken& stop) override {
    if (gone_ && gone_->load()) return WriteResult::kGone;
    const BTH_LE_GATT_CHARACTERISTIC* found = Find(characteristic);
    if (found == nullptr || n > kBleChunkBytes) return WriteResult::kFailed;
    BTH_LE_GATT_CHARACTERISTIC c = *found;
    ChunkValue chunk;
    chunk.Value()->DataSize = static_cast<ULONG>(n);
    std::memcpy(chunk.bytes + ChunkValue::kHeader, data, n);
    const ULONG flags = type == BleWriteType::kCommand ? BLUETOOTH_GATT_FLAG_WRITE_WITHOUT_RESPONSE
                                                       : BLUETOOTH_GATT_FLAG_NONE;
    const auto write = f_.setCharacteristicValue;
    const std::optional<HRESULT> result = Reach<HRESULT>(
        [write, c, chunk, flags](HANDLE device) mutable {
          return write(device, &c, chunk.Value(), 0, flags);
        },
        deadline, stop);
    if (result && SUCCEEDED(*result)) return WriteResult::kDone;
    return gone_ && gone_->load() ? WriteResult::kGone : WriteResult::kFailed;
  }

 private:
  const BTH_LE_GATT_CHARACTERISTIC* Find(const std::string& handle) const {
    for (const BTH_LE_GATT_CHARACTERISTIC& c : characteristics_) {
      if (std::to_string(c.AttributeHandle) == handle) return &c;
    }
    return nullptr;
  }

  // A call that may wait for the device, on a thread of its own with a copy of the device's
  // handle, waited for until the deadline or the stop. Left behind, it runs on to the
  // stack's own time-out with what it owns, and a device it finds gone still counts.
  template <typename T>
  std::optional<T> Reach(std::function<T(HANDLE)> call, const Deadline& deadline,
                         const StopToken& stop) {
    HANDLE copy = nullptr;
    if (device_ == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), device_, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
      return std::nullopt;
    }
    const auto result = std::make_shared<std::optional<T>>();
    const std::shared_ptr<std::atomic<bool>> gone = gone_;
    const Gone onGone = onGone_;
    const BoundedOutcome outcome = RunBounded(
        [call = std::move(call), copy, result, gone, onGone] {
          *result = call(copy);
          CloseHandle(copy);
          bool lost = false;
          if constexpr (std::is_same_v<T, HRESULT>) lost = MeansGone(**result);
          if (lost && gone) {
            gone->store(true);
            if (onGone) onGone();
          }
        },
        deadline, stop);
    if (outcome == BoundedOutcome::kNotStarted) CloseHandle(copy);
    if (outcome != BoundedOutcome::kDone) return std::nullopt;
    return *result;
  }

  const GattFunctions& f_;
  const StopToken stop_;
  const Deadline connectBy_;  // the caller's bound on Open, when sooner than its own
  HANDLE device_ = INVALID_HANDLE_VALUE;
  Deadline openBy_;
  std::shared_ptr<std::atomic<bool>> gone_;
  Gone onGone_;
  std::vector<BTH_LE_GATT_CHARACTERISTIC> characteristics_;
  BLUETOOTH_GATT_EVENT_HANDLE registration_ = nullptr;
  // A callback may still be running on the system's thread when a registration ends.
  std::vector<std::unique_ptr<CallbackContext>> contexts_;
};

}  // namespace

bool HaveWin32BleGatt() {
  return Gatt() != nullptr;
}

std::vector<PairedLeDevice> ListPairedLeDevices() {
  std::vector<PairedLeDevice> devices;
  ForEachInterface(kGuidBluetoothLeDeviceInterface,
                   [&](HDEVINFO set, SP_DEVINFO_DATA& info, const std::string& path) {
                     PairedLeDevice device;
                     device.address = BleAddressFromDeviceId(path);
                     if (device.address.empty()) return;
                     device.name = FriendlyName(set, info);
                     device.devicePath = path;
                     devices.push_back(std::move(device));
                   });
  if (devices.empty()) return devices;
  // A GATT service's interface class is its UUID: the first known service a device has, in
  // the table's order, is the one its link opens.
  for (const std::string& uuid : KnownAdapterServices()) {
    const std::optional<UuidFields> fields = ParseUuid(uuid);
    if (!fields) continue;
    ForEachInterface(GuidOf(*fields), [&](HDEVINFO, SP_DEVINFO_DATA&, const std::string& path) {
      const std::string address = BleAddressFromDeviceId(path);
      for (PairedLeDevice& device : devices) {
        if (device.address == address && device.servicePath.empty()) device.servicePath = path;
      }
    });
  }
  return devices;
}

std::shared_ptr<BleGattApi> MakeWin32BleGattApi(const StopToken& stop, const Deadline& connectBy) {
  const GattFunctions* f = Gatt();
  if (f == nullptr) return nullptr;
  return MakeWin32BleGattApiOver(*f, stop, connectBy);
}

std::shared_ptr<BleGattApi> MakeWin32BleGattApiOver(const GattFunctions& functions,
                                                    const StopToken& stop,
                                                    const Deadline& connectBy) {
  return std::make_shared<Win32GattApi>(functions, stop, connectBy);
}

}  // namespace morvanix
