#pragma once

// The few structures, constants and function types of the Bluetooth LE GATT functions in
// BluetoothApis.dll (Windows 8 on) that the BLE link uses, with the layout the system's own
// headers give them: the mingw-w64 headers have the classic Bluetooth part only
// (bluetoothapis.h, bthdef.h), not the LE one. The names are the system's, inside our
// namespace, so that they read against the reference and never clash with a header that
// declares them later. The size and offset checks below are what keeps them right.
#include <windows.h>

#include <cstddef>

namespace morvanix::btle {

// Paired LE devices as device interfaces ({781AEE18-7733-4CE4-ADD0-91F41C67B592}).
inline constexpr GUID kGuidBluetoothLeDeviceInterface = {
    0x781aee18, 0x7733, 0x4ce4, {0xad, 0xd0, 0x91, 0xf4, 0x1c, 0x67, 0xb5, 0x92}};

struct BTH_LE_UUID {
  BOOLEAN IsShortUuid;
  union {
    USHORT ShortUuid;
    GUID LongUuid;
  } Value;
};

struct BTH_LE_GATT_SERVICE {
  BTH_LE_UUID ServiceUuid;
  USHORT AttributeHandle;
};

struct BTH_LE_GATT_CHARACTERISTIC {
  USHORT ServiceHandle;
  BTH_LE_UUID CharacteristicUuid;
  USHORT AttributeHandle;
  USHORT CharacteristicValueHandle;
  BOOLEAN IsBroadcastable;
  BOOLEAN IsReadable;
  BOOLEAN IsWritable;
  BOOLEAN IsWritableWithoutResponse;
  BOOLEAN IsSignedWritable;
  BOOLEAN IsNotifiable;
  BOOLEAN IsIndicatable;
  BOOLEAN HasExtendedProperties;
};

// A value of variable length: DataSize bytes from Data on.
struct BTH_LE_GATT_CHARACTERISTIC_VALUE {
  ULONG DataSize;
  UCHAR Data[1];
};

enum BTH_LE_GATT_DESCRIPTOR_TYPE : int {
  CharacteristicExtendedProperties,
  CharacteristicUserDescription,
  ClientCharacteristicConfiguration,
  ServerCharacteristicConfiguration,
  CharacteristicFormat,
  CharacteristicAggregateFormat,
  CustomDescriptor,
};

struct BTH_LE_GATT_DESCRIPTOR {
  USHORT ServiceHandle;
  USHORT CharacteristicHandle;
  BTH_LE_GATT_DESCRIPTOR_TYPE DescriptorType;
  BTH_LE_UUID DescriptorUuid;
  USHORT AttributeHandle;
};

struct BTH_LE_GATT_DESCRIPTOR_VALUE {
  BTH_LE_GATT_DESCRIPTOR_TYPE DescriptorType;
  BTH_LE_UUID DescriptorUuid;
  union {
    struct {
      BOOLEAN IsReliableWriteEnabled;
      BOOLEAN IsAuxiliariesWritable;
    } CharacteristicExtendedProperties;
    struct {
      BOOLEAN IsSubscribeToNotification;
      BOOLEAN IsSubscribeToIndication;
    } ClientCharacteristicConfiguration;
    struct {
      BOOLEAN IsBroadcast;
    } ServerCharacteristicConfiguration;
    struct {
      UCHAR Format;
      UCHAR Exponent;
      BTH_LE_UUID Unit;
      UCHAR NameSpace;
      BTH_LE_UUID Description;
    } CharacteristicFormat;
  } Value;  // an unnamed union in the system's header
  ULONG DataSize;
  UCHAR Data[1];
};

enum BTH_LE_GATT_EVENT_TYPE : int {
  CharacteristicValueChangedEvent,
};

struct BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION {
  USHORT NumCharacteristics;
  BTH_LE_GATT_CHARACTERISTIC Characteristics[1];
};

// What a value-changed callback receives as its event parameter.
struct BLUETOOTH_GATT_VALUE_CHANGED_EVENT {
  USHORT ChangedAttributeHandle;
  std::size_t CharacteristicValueDataSize;
  BTH_LE_GATT_CHARACTERISTIC_VALUE* CharacteristicValue;
};

using BLUETOOTH_GATT_EVENT_HANDLE = HANDLE;
using BTH_LE_GATT_RELIABLE_WRITE_CONTEXT = ULONG64;
using PFNBLUETOOTH_GATT_EVENT_CALLBACK = void(CALLBACK*)(BTH_LE_GATT_EVENT_TYPE type,
                                                         PVOID eventOut, PVOID context);

inline constexpr ULONG BLUETOOTH_GATT_FLAG_NONE = 0x00000000;
inline constexpr ULONG BLUETOOTH_GATT_FLAG_WRITE_WITHOUT_RESPONSE = 0x00000020;

// The functions, by the names GetProcAddress takes.
using BluetoothGATTGetServicesFn = HRESULT(WINAPI*)(HANDLE device, USHORT count,
                                                    BTH_LE_GATT_SERVICE* services, USHORT* actual,
                                                    ULONG flags);
using BluetoothGATTGetCharacteristicsFn =
    HRESULT(WINAPI*)(HANDLE device, BTH_LE_GATT_SERVICE* service, USHORT count,
                     BTH_LE_GATT_CHARACTERISTIC* characteristics, USHORT* actual, ULONG flags);
using BluetoothGATTGetDescriptorsFn = HRESULT(WINAPI*)(HANDLE device,
                                                       BTH_LE_GATT_CHARACTERISTIC* characteristic,
                                                       USHORT count,
                                                       BTH_LE_GATT_DESCRIPTOR* descriptors,
                                                       USHORT* actual, ULONG flags);
using BluetoothGATTSetDescriptorValueFn = HRESULT(WINAPI*)(HANDLE device,
                                                           BTH_LE_GATT_DESCRIPTOR* descriptor,
                                                           BTH_LE_GATT_DESCRIPTOR_VALUE* value,
                                                           ULONG flags);
using BluetoothGATTSetCharacteristicValueFn =
    HRESULT(WINAPI*)(HANDLE device, BTH_LE_GATT_CHARACTERISTIC* characteristic,
                     BTH_LE_GATT_CHARACTERISTIC_VALUE* value,
                     BTH_LE_GATT_RELIABLE_WRITE_CONTEXT context, ULONG flags);
using BluetoothGATTRegisterEventFn = HRESULT(WINAPI*)(HANDLE service, BTH_LE_GATT_EVENT_TYPE type,
                                                      PVOID eventIn,
                                                      PFNBLUETOOTH_GATT_EVENT_CALLBACK callback,
                                                      PVOID context,
                                                      BLUETOOTH_GATT_EVENT_HANDLE* registration,
                                                      ULONG flags);
using BluetoothGATTUnregisterEventFn = HRESULT(WINAPI*)(BLUETOOTH_GATT_EVENT_HANDLE registration,
                                                        ULONG flags);

// The layouts of the system's header, for both Windows ABIs (the 32-bit one differs only
// where a pointer or size_t is).
static_assert(sizeof(BTH_LE_UUID) == 20 && offsetof(BTH_LE_UUID, Value) == 4);
static_assert(sizeof(BTH_LE_GATT_SERVICE) == 24 &&
              offsetof(BTH_LE_GATT_SERVICE, AttributeHandle) == 20);
static_assert(sizeof(BTH_LE_GATT_CHARACTERISTIC) == 36 &&
              offsetof(BTH_LE_GATT_CHARACTERISTIC, CharacteristicUuid) == 4 &&
              offsetof(BTH_LE_GATT_CHARACTERISTIC, AttributeHandle) == 24 &&
              offsetof(BTH_LE_GATT_CHARACTERISTIC, CharacteristicValueHandle) == 26 &&
              offsetof(BTH_LE_GATT_CHARACTERISTIC, IsWritable) == 30 &&
              offsetof(BTH_LE_GATT_CHARACTERISTIC, IsNotifiable) == 33 &&
              offsetof(BTH_LE_GATT_CHARACTERISTIC, HasExtendedProperties) == 35);
static_assert(sizeof(BTH_LE_GATT_CHARACTERISTIC_VALUE) == 8 &&
              offsetof(BTH_LE_GATT_CHARACTERISTIC_VALUE, Data) == 4);
static_assert(sizeof(BTH_LE_GATT_DESCRIPTOR_TYPE) == 4);
static_assert(sizeof(BTH_LE_GATT_DESCRIPTOR) == 32 &&
              offsetof(BTH_LE_GATT_DESCRIPTOR, DescriptorType) == 4 &&
              offsetof(BTH_LE_GATT_DESCRIPTOR, DescriptorUuid) == 8 &&
              offsetof(BTH_LE_GATT_DESCRIPTOR, AttributeHandle) == 28);
static_assert(sizeof(BTH_LE_GATT_DESCRIPTOR_VALUE) == 80 &&
              offsetof(BTH_LE_GATT_DESCRIPTOR_VALUE, DescriptorUuid) == 4 &&
              offsetof(BTH_LE_GATT_DESCRIPTOR_VALUE, Value) == 24 &&
              offsetof(BTH_LE_GATT_DESCRIPTOR_VALUE, DataSize) == 72 &&
              offsetof(BTH_LE_GATT_DESCRIPTOR_VALUE, Data) == 76);
static_assert(sizeof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION) == 40 &&
              offsetof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT_REGISTRATION, Characteristics) == 4);
#if defined(_WIN64)
static_assert(sizeof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT) == 24 &&
              offsetof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT, CharacteristicValueDataSize) == 8 &&
              offsetof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT, CharacteristicValue) == 16);
#else
static_assert(sizeof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT) == 12 &&
              offsetof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT, CharacteristicValueDataSize) == 4 &&
              offsetof(BLUETOOTH_GATT_VALUE_CHANGED_EVENT, CharacteristicValue) == 8);
#endif

}  // namespace morvanix::btle
