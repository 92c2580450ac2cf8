#include "driver/registry_config.h"

#include "driver/driver_services.h"

namespace pelgar {
namespace {

// The temporary query buffer's tag.
constexpr ULONG kQueryTag = PoolTag("Wdm ");
// Access to the value key: query, set, create and enumerate subkeys, notify, read control.
constexpr ACCESS_MASK kValueKeyAccess = 0x2001F;

// A counted wide copy of an ASCII text, from the pool; freed with RtlFreeUnicodeString.
NTSTATUS WideText(PCSTR text, PUNICODE_STRING wide) {
  ANSI_STRING ansi;
  RtlInitAnsiString(&ansi, text);
  return RtlAnsiStringToUnicodeString(wide, &ansi, TRUE);
}

// Opens the card's software key, then `subkey` below it; the software key is closed again at once.
NTSTATUS OpenValueKey(PDEVICE_OBJECT physicalDevice, PCSTR subkey, PHANDLE key) {
  HANDLE root = nullptr;
  NTSTATUS status = IoOpenDeviceRegistryKey(physicalDevice, PLUGPLAY_REGKEY_DRIVER, STANDARD_RIGHTS_ALL, &root);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING path;
  status = WideText(subkey, &path);
  if (NT_SUCCESS(status)) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    status = ZwOpenKey(key, kValueKeyAccess, &attributes);
    RtlFreeUnicodeString(&path);
  }
  ZwClose(root);
  return status;
}

}  // namespace

NTSTATUS ReadDriverValueAt(PDEVICE_OBJECT physicalDevice, PCSTR subkey, PCSTR name, ULONG* value) {
  HANDLE key = nullptr;
  NTSTATUS status = OpenValueKey(physicalDevice, subkey, &key);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING valueName;
  status = WideText(name, &valueName);
  if (NT_SUCCESS(status)) {
    // Room for the record's fixed part, the name and four bytes of data.
    ULONG size = valueName.MaximumLength + 4 + 24;
    auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, size, kQueryTag));
    if (info == nullptr) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      ULONG needed = 0;
      status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, info, size, &needed);
      if (status == STATUS_BUFFER_OVERFLOW || (NT_SUCCESS(status) && info->DataLength > sizeof(ULONG))) {
        status = STATUS_BUFFER_TOO_SMALL;  // longer than a 32-bit value
      } else if (NT_SUCCESS(status)) {
        RtlCopyMemory(value, reinterpret_cast<PUCHAR>(info) + info->DataOffset, info->DataLength);
      }
      ExFreePoolWithTag(info, kQueryTag);
    }
    RtlFreeUnicodeString(&valueName);
  }
  ZwClose(key);
  return status;
}

NTSTATUS ReadDriverValue(PDEVICE_OBJECT physicalDevice, PCSTR name, ULONG* value) {
  return ReadDriverValueAt(physicalDevice, kDriverDataKey, name, value);
}

NTSTATUS WriteDriverValue(PDEVICE_OBJECT physicalDevice, PCSTR name, ULONG value) {
  HANDLE key = nullptr;
  NTSTATUS status = OpenValueKey(physicalDevice, kDriverDataKey, &key);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING valueName;
  status = WideText(name, &valueName);
  if (NT_SUCCESS(status)) {
    status = ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value);
    RtlFreeUnicodeString(&valueName);
  }
  ZwClose(key);
  return status;
}

}  // namespace pelgar
