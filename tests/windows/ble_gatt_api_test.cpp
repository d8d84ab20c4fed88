// The Windows GATT calls behind the link's table, over stand-ins of BluetoothApis.dll's
// functions (Wine's own are stubs that abort): the two-call lists into services, the
// descriptor that is written, value-changed events into bytes, each write's flags and what its
// result means, and the calls that wait for the device ended at a bound or the stop.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <vector>

#include "adapter/ble_gatt.h"
#include "adapter/ble_gatt_api_win32.h"
#include "stop_later.h"

using namespace morvanix;
using namespace morvanix::btle;
using namespace std::chrono_literals;

namespace {

// What the stand-in functions share with a test. It lives as long as the process: a call the
// api left behind at a bound may still run after its test.
struct FakeDll {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::string> calls;
  int inFlight = 0;
  HRESULT writeResult = S_OK;
  bool writeWaits = false;
  bool descriptorWaits = false;
  std::counting_semaphore<16> release{0};
  PFNBLUETOOTH_GATT_EVENT_CALLBACK callback = nullptr;
  PVOID context = nullptr;

  void Reset() {
    std::unique_lock<std::mutex> hold(lock);
    // Whatever an earlier test left waiting ends first.
    changed.wait_for(hold, 5s, [&] { return inFlight == 0; });
    calls.clear();
    writeResult = S_OK;
    writeWaits = descriptorWaits = false;
    callback = nullptr;
    context = nullptr;
  }
  void Note(const std::string& call) {
    std::lock_guard<std::mutex> hold(lock);
    calls.push_back(call);
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(lock);
    return calls;
  }
  // A call the test holds until it releases it.
  void Hold(bool waits) {
    {
      std::lock_guard<std::mutex> hold(lock);
      ++inFlight;
    }
    if (waits) (void)release.try_acquire_for(10s);
    {
      std::lock_guard<std::mutex> hold(lock);
      --inFlight;
    }
    changed.notify_all();
  }
};

FakeDll& Fake() {
  static FakeDll* fake = new FakeDll;
  return *fake;
}

BTH_LE_UUID Short(USHORT uuid) {
  BTH_LE_UUID u{};
  u.IsShortUuid = TRUE;
  u.Value.ShortUuid = uuid;
  return u;
}

// Generic Access (no characteristics) and FFF0 with FFF1 (notify) and FFF2 (both writes).
HRESULT WINAPI GetServices(HANDLE, USHORT count, BTH_LE_GATT_SERVICE* out, USHORT* actual, ULONG) {
  const BTH_LE_GATT_SERVICE all[] = {{Short(0x1800), 0x01}, {Short(0xfff0), 0x10}};
  *actual = 2;
  if (count < 2 || out == nullptr) return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
  std::copy(std::begin(all), std::end(all), out);
  return S_OK;
}

HRESULT WINAPI GetCharacteristics(HANDLE, BTH_LE_GATT_SERVICE* service, USHORT count,
                                  BTH_LE_GATT_CHARACTERISTIC* out, USHORT* actual, ULONG) {
  if (service->AttributeHandle != 0x10) {
    *actual = 0;
    return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  }
  BTH_LE_GATT_CHARACTERISTIC notify{};
  notify.ServiceHandle = 0x10;
  notify.CharacteristicUuid = Short(0xfff1);
  notify.AttributeHandle = 0x11;
  notify.IsNotifiable = TRUE;
  BTH_LE_GATT_CHARACTERISTIC write{};
  write.ServiceHandle = 0x10;
  write.CharacteristicUuid = Short(0xfff2);
  write.AttributeHandle = 0x13;
  write.IsWritable = TRUE;
  write.IsWritableWithoutResponse = TRUE;
  *actual = 2;
  if (count < 2 || out == nullptr) return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
  out[0] = notify;
  out[1] = write;
  return S_OK;
}

// FFF1 has a user description before its client configuration descriptor.
HRESULT WINAPI GetDescriptors(HANDLE, BTH_LE_GATT_CHARACTERISTIC* c, USHORT count,
                              BTH_LE_GATT_DESCRIPTOR* out, USHORT* actual, ULONG) {
  if (c->AttributeHandle != 0x11) {
    *actual = 0;
    return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
  }
  *actual = 2;
  if (count < 2 || out == nullptr) return HRESULT_FROM_WIN32(ERROR_MORE_DATA);
  out[0] = {0x10, 0x11, CharacteristicUserDescription, Short(0x2901), 0x14};
  out[1] = {0x10, 0x11, ClientCharacteristicConfiguration, Short(0x2902), 0x12};
  return S_OK;
}

HRESULT WINAPI SetDescriptorValue(HANDLE, BTH_LE_GATT_DESCRIPTOR* d,
                                  BTH_LE_GATT_DESCRIPTOR_VALUE* v, ULONG) {
  FakeDll& fake = Fake();
  bool waits;
  {
    std::lock_guard<std::mutex> hold(fake.lock);
    waits = fake.descriptorWaits;
  }
  fake.Hold(waits);
  fake.Note("descriptor " + std::to_string(d->AttributeHandle) + " type " +
            std::to_string(v->DescriptorType) + " notify " +
            std::to_string(v->Value.ClientCharacteristicConfiguration.IsSubscribeToNotification) +
            " indicate " +
            std::to_string(v->Value.ClientCharacteristicConfiguration.IsSubscribeToIndication));
  return S_OK;
}

HRESULT WINAPI SetCharacteristicValue(HANDLE, BTH_LE_GATT_CHARACTERISTIC* c,
                                      BTH_LE_GATT_CHARACTERISTIC_VALUE* v,
                                      BTH_LE_GATT_RELIABLE_WRITE_CONTEXT, ULONG flags) {
  FakeDll& fake = Fake();
  bool waits;
  HRESULT result;
  {
    std::lock_guard<std::mutex> hold(fake.lock);
    waits = fake.writeWaits;
    result = fake.writeResult;
  }
  fake.Note("write " + std::to_string(c->AttributeHandle) + " flags " + std::to_string(flags) +
            " " + std::string(reinterpret_cast<const char*>(v->Data), v->DataSize));
  fake.Hold(waits);
  return result;
}

HRESULT WINAPI RegisterEvent(HANDLE, BTH_LE_GATT_EVENT_TYPE type, PVOID in,
                             PFNBLUETOOTH_GATT_EVENT_CALLBACK callback, PVOID context,
                             BLUETOOTH_GATT_EVENT_HANDLE* handle, ULONG) {
  const auto* registration = static_cast<BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION*>(in);
  FakeDll& fake = Fake();
  fake.Note("register type " + std::to_string(type) + " count " +
            std::to_string(registration->NumCharacteristics) + " handle " +
            std::to_string(registration->Characteristics[0].AttributeHandle));
  std::lock_guard<std::mutex> hold(fake.lock);
  fake.callback = callback;
  fake.context = context;
  *handle = reinterpret_cast<HANDLE>(0x1234);
  return S_OK;
}

HRESULT WINAPI UnregisterEvent(BLUETOOTH_GATT_EVENT_HANDLE handle, ULONG) {
  Fake().Note(handle == reinterpret_cast<HANDLE>(0x1234) ? "unregister" : "unregister other");
  return S_OK;
}

const GattFunctions kFakeFunctions = {GetServices,        GetCharacteristics,     GetDescriptors,
                                      SetDescriptorValue, SetCharacteristicValue, RegisterEvent,
                                      UnregisterEvent};

// The api over the stand-ins with a device open (any handle will do: they ignore it), its
// services listed and value changes registered on FFF1.
struct OpenApi {
  explicit OpenApi(const StopToken& stop = StopToken()) {
    Fake().Reset();
    api = MakeWin32BleGattApiOver(kFakeFunctions, stop);
    ready = api->OpenDevice("\\\\.\\NUL") && api->Services(services) &&
            api->RegisterValueChanged(
                "17",
                [this](const unsigned char* data, std::size_t n) {
                  std::lock_guard<std::mutex> hold(lock);
                  received.append(reinterpret_cast<const char*>(data), n);
                },
                [this] {
                  std::lock_guard<std::mutex> hold(lock);
                  ++goneCalls;
                  gone.notify_all();
                });
  }
  int GoneCalls() {
    std::lock_guard<std::mutex> hold(lock);
    return goneCalls;
  }

  std::shared_ptr<BleGattApi> api;
  std::vector<BleService> services;
  bool ready = false;
  std::mutex lock;
  std::condition_variable gone;
  std::string received;
  int goneCalls = 0;
};

TEST(Win32GattApi, ListsSubscribesAndHandsOverValues) {
  OpenApi open;
  ASSERT_TRUE(open.ready);
  ASSERT_EQ(open.services.size(), 2u);
  EXPECT_EQ(open.services[0].uuid, "1800");
  EXPECT_TRUE(open.services[0].characteristics.empty());
  EXPECT_EQ(open.services[1].uuid, "fff0");
  ASSERT_EQ(open.services[1].characteristics.size(), 2u);
  const BleCharacteristic& notify = open.services[1].characteristics[0];
  const BleCharacteristic& write = open.services[1].characteristics[1];
  EXPECT_EQ(notify.uuid + " " + notify.handle, "fff1 17");
  EXPECT_TRUE(notify.flags.notify && !notify.flags.indicate && !notify.flags.write);
  EXPECT_EQ(write.uuid + " " + write.handle, "fff2 19");
  EXPECT_TRUE(write.flags.write && write.flags.writeWithoutResponse && !write.flags.notify);
  const std::optional<BleChannel> channel = ChooseBleChannel(open.services);
  ASSERT_TRUE(channel);
  EXPECT_EQ(channel->notifyHandle + " " + channel->writeHandle, "17 19");

  EXPECT_TRUE(open.api->EnableNotifications("17"));
  EXPECT_FALSE(open.api->EnableNotifications("19"));  // no configuration descriptor
  EXPECT_FALSE(open.api->EnableNotifications("99"));  // no such characteristic
  const std::vector<std::string> calls = {"register type 0 count 1 handle 17",
                                          "descriptor 18 type 2 notify 1 indicate 0"};
  EXPECT_EQ(Fake().Calls(), calls);

  // Events as the system's thread gives them: the value's own size, bounded by the size given
  // for the whole value.
  const struct {
    const char* bytes;
    ULONG dataSize;
    std::size_t valueSize;
    const char* handedOver;
  } events[] = {
      {"ATZ\r\r", 5, 4 + 5, "ATZ\r\r"},
      {"ELM327 v1.5\r\r>", 14, 4 + 14, "ELM327 v1.5\r\r>"},
      {"41 00 BE", 8, 4 + 5, "41 00"},
      {"", 0, 4, ""},
  };
  PFNBLUETOOTH_GATT_EVENT_CALLBACK callback;
  PVOID context;
  {
    std::lock_guard<std::mutex> hold(Fake().lock);
    callback = Fake().callback;
    context = Fake().context;
  }
  ASSERT_NE(callback, nullptr);
  for (const auto& e : events) {
    SCOPED_TRACE(e.bytes);
    alignas(BTH_LE_GATT_CHARACTERISTIC_VALUE) unsigned char raw[64] = {};
    auto* value = reinterpret_cast<BTH_LE_GATT_CHARACTERISTIC_VALUE*>(raw);
    value->DataSize = e.dataSize;
    std::memcpy(value->Data, e.bytes, std::strlen(e.bytes));
    BLUETOOTH_GATT_VALUE_CHANGED_EVENT event{0x11, e.valueSize, value};
    {
      std::lock_guard<std::mutex> hold(open.lock);
      open.received.clear();
    }
    callback(CharacteristicValueChangedEvent, &event, context);
    std::lock_guard<std::mutex> hold(open.lock);
    EXPECT_EQ(open.received, e.handedOver);
  }
  open.api->UnregisterValueChanged();
  EXPECT_EQ(Fake().Calls().back(), "unregister");
}

TEST(Win32GattApi, WriteFlagsAndWhatAResultMeans) {
  const struct {
    const char* label;
    BleWriteType type;
    HRESULT result;
    BleGattApi::WriteResult expected;
    const char* call;
  } cases[] = {
      {"command", BleWriteType::kCommand, S_OK, BleGattApi::WriteResult::kDone,
       "write 19 flags 32 ATZ\r"},
      {"request", BleWriteType::kRequest, S_OK, BleGattApi::WriteResult::kDone,
       "write 19 flags 0 ATZ\r"},
      {"refused", BleWriteType::kRequest, E_FAIL, BleGattApi::WriteResult::kFailed,
       "write 19 flags 0 ATZ\r"},
      {"not connected", BleWriteType::kCommand, HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED),
       BleGattApi::WriteResult::kGone, "write 19 flags 32 ATZ\r"},
      {"timed out", BleWriteType::kRequest, HRESULT_FROM_WIN32(ERROR_SEM_TIMEOUT),
       BleGattApi::WriteResult::kGone, "write 19 flags 0 ATZ\r"},
      {"removed", BleWriteType::kRequest, HRESULT_FROM_WIN32(ERROR_DEVICE_REMOVED),
       BleGattApi::WriteResult::kGone, "write 19 flags 0 ATZ\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    OpenApi open;
    ASSERT_TRUE(open.ready);
    {
      std::lock_guard<std::mutex> hold(Fake().lock);
      Fake().writeResult = c.result;
      Fake().calls.clear();
    }
    EXPECT_EQ(open.api->WriteValue("19", "ATZ\r", 4, c.type, Deadline::After(2s), StopToken()),
              c.expected);
    const bool gone = c.expected == BleGattApi::WriteResult::kGone;
    EXPECT_EQ(open.GoneCalls(), gone ? 1 : 0);
    // A device found gone takes no more writes.
    const BleGattApi::WriteResult next =
        open.api->WriteValue("19", "0100\r", 5, c.type, Deadline::After(2s), StopToken());
    const std::vector<std::string> calls = Fake().Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), c.call);
    EXPECT_EQ(calls.size(), gone ? 1u : 2u);
    EXPECT_EQ(next, gone ? BleGattApi::WriteResult::kGone : c.expected);
  }
  OpenApi open;
  ASSERT_TRUE(open.ready);
  const std::string tooLong(kBleChunkBytes + 1, 'A');
  EXPECT_EQ(open.api->WriteValue("19", tooLong.data(), tooLong.size(), BleWriteType::kCommand,
                                 Deadline::After(2s), StopToken()),
            BleGattApi::WriteResult::kFailed);
  EXPECT_EQ(open.api->WriteValue("99", "ATZ\r", 4, BleWriteType::kCommand, Deadline::After(2s),
                                 StopToken()),
            BleGattApi::WriteResult::kFailed);
  EXPECT_EQ(Fake().Calls().size(), 1u);  // the registration only
}

// A write the device does not answer ends at its deadline; when the stack gives up on it
// later, the device counts as gone all the same.
TEST(Win32GattApi, AWriteLeftAtItsDeadlineStillTellsOfAGoneDevice) {
  OpenApi open;
  ASSERT_TRUE(open.ready);
  {
    std::lock_guard<std::mutex> hold(Fake().lock);
    Fake().writeWaits = true;
    Fake().writeResult = HRESULT_FROM_WIN32(ERROR_SEM_TIMEOUT);
  }
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(open.api->WriteValue("19", "0100\r", 5, BleWriteType::kRequest, Deadline::After(150ms),
                                 StopToken()),
            BleGattApi::WriteResult::kFailed);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 150ms);
  EXPECT_LT(took, 1s);
  EXPECT_EQ(open.GoneCalls(), 0);
  Fake().release.release();
  {
    std::unique_lock<std::mutex> hold(open.lock);
    EXPECT_TRUE(open.gone.wait_for(hold, 5s, [&] { return open.goneCalls == 1; }));
  }
  EXPECT_EQ(open.api->WriteValue("19", "0100\r", 5, BleWriteType::kRequest, Deadline::After(2s),
                                 StopToken()),
            BleGattApi::WriteResult::kGone);
}

// The stop ends a descriptor write the device does not answer at once.
TEST(Win32GattApi, StopEndsADescriptorWriteThatWaits) {
  StopSource stop;
  OpenApi open(stop.Token());
  ASSERT_TRUE(open.ready);
  {
    std::lock_guard<std::mutex> hold(Fake().lock);
    Fake().descriptorWaits = true;
  }
  const auto start = std::chrono::steady_clock::now();
  {
    StopLater later(stop, 100ms);
    EXPECT_FALSE(open.api->EnableNotifications("17"));
  }
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 100ms);
  EXPECT_LT(took, 1s);
  Fake().release.release();
}

}  // namespace
