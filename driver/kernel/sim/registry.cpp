// The stand-in's registry as a driver sees it: the device's driver and device keys opened through the I/O
// manager, subkeys opened relative to them, and values queried and set with the platform's record layouts
// and access checks.
#include <cstddef>
#include <cstring>

#include "driver/kernel/sim/state.h"

namespace ksim {
namespace {

DeviceRec* DeviceOf(PDEVICE_OBJECT device) {
  for (const auto& d : S().devices)
    if (d->object.get() == device) return d.get();
  return nullptr;
}

HandleEntry* OpenKey(HANDLE handle) {
  HandleEntry* entry = FindHandle(handle);
  return entry != nullptr && entry->kind == HandleEntry::Kind::Key ? entry : nullptr;
}

constexpr ULONG AlignUp4(ULONG value) { return (value + 3u) & ~3u; }

}  // namespace
}  // namespace ksim

using namespace ksim;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
  RequireIrql(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
  DeviceRec* device = DeviceOf(DeviceObject);
  if (device == nullptr) return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object
  HandleEntry entry;
  entry.kind = HandleEntry::Kind::Key;
  entry.access = DesiredAccess;
  if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
    entry.key = device->driverKey.get();
  } else if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
    entry.key = device->deviceKey.get();
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  entry.path = entry.key->Name();
  ++S().registryOpens;
  *DevInstRegKey = NewHandle(entry);
  return STATUS_SUCCESS;
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
  RequireIrql(PASSIVE_LEVEL, "ZwOpenKey");
  if (ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr) return STATUS_INVALID_PARAMETER;
  HandleEntry* root = OpenKey(ObjectAttributes->RootDirectory);
  // Only opens relative to a key the driver was given are served: the stand-in holds no machine-wide tree.
  if (root == nullptr) return ObjectAttributes->RootDirectory ? STATUS_INVALID_HANDLE : STATUS_OBJECT_PATH_NOT_FOUND;
  std::string path = Narrow(ObjectAttributes->ObjectName);
  if (!path.empty() && path.front() == '\\') return STATUS_OBJECT_PATH_NOT_FOUND;
  RegistryKey* key = root->key->Find(path);
  if (key == nullptr) {
    auto slash = path.find_last_of('\\');
    bool parentExists = slash == std::string::npos || root->key->Find(path.substr(0, slash)) != nullptr;
    return parentExists ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
  }
  HandleEntry entry;
  entry.kind = HandleEntry::Kind::Key;
  entry.access = DesiredAccess;
  entry.key = key;
  entry.path = root->path + "\\" + path;
  ++S().registryOpens;
  *KeyHandle = NewHandle(entry);
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
  RequireIrql(PASSIVE_LEVEL, "ZwQueryValueKey");
  HandleEntry* handle = ksim::OpenKey(KeyHandle);
  if (handle == nullptr) return STATUS_INVALID_HANDLE;
  if ((handle->access & KEY_QUERY_VALUE) == 0) return STATUS_ACCESS_DENIED;
  const RegistryKey::Value* value = handle->key->GetValue(Narrow(ValueName));
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto dataLength = static_cast<ULONG>(value->data.size());
  auto* out = static_cast<uint8_t*>(KeyValueInformation);

  if (KeyValueInformationClass == KeyValueFullInformation) {
    auto nameLength = static_cast<ULONG>(value->name.size() * sizeof(WCHAR));
    ULONG fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
    ULONG dataOffset = AlignUp4(fixed + nameLength);
    ULONG required = dataOffset + dataLength;
    *ResultLength = required;
    if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
    KEY_VALUE_FULL_INFORMATION header{};
    header.TitleIndex = 0;
    header.Type = value->type;
    header.DataOffset = dataOffset;
    header.DataLength = dataLength;
    header.NameLength = nameLength;
    std::memcpy(out, &header, fixed);
    if (Length < required) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < value->name.size(); ++i) {
      WCHAR c = static_cast<WCHAR>(static_cast<unsigned char>(value->name[i]));
      std::memcpy(out + fixed + i * sizeof(WCHAR), &c, sizeof c);
    }
    if (dataLength) std::memcpy(out + dataOffset, value->data.data(), dataLength);
    return STATUS_SUCCESS;
  }
  if (KeyValueInformationClass == KeyValuePartialInformation) {
    ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
    ULONG required = fixed + dataLength;
    *ResultLength = required;
    if (Length < fixed) return STATUS_BUFFER_TOO_SMALL;
    KEY_VALUE_PARTIAL_INFORMATION header{};
    header.Type = value->type;
    header.DataLength = dataLength;
    std::memcpy(out, &header, fixed);
    if (Length < required) return STATUS_BUFFER_OVERFLOW;
    if (dataLength) std::memcpy(out + fixed, value->data.data(), dataLength);
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data, ULONG DataSize) {
  RequireIrql(PASSIVE_LEVEL, "ZwSetValueKey");
  HandleEntry* handle = ksim::OpenKey(KeyHandle);
  if (handle == nullptr) return STATUS_INVALID_HANDLE;
  if ((handle->access & KEY_SET_VALUE) == 0) return STATUS_ACCESS_DENIED;
  if (S().failRegistryWrites) return STATUS_ACCESS_DENIED;
  auto* bytes = static_cast<uint8_t*>(Data);
  handle->key->SetValue(Narrow(ValueName), Type, std::vector<uint8_t>(bytes, bytes + DataSize));
  return STATUS_SUCCESS;
}
