// The driver's registry values: 32-bit values under the card's software key, in "DriverData" or one of its
// subkeys. Each read or write opens the driver key and the subkey, does its one value, and closes both;
// nothing is cached, so a value changed by the property pages or an installer is seen at the next read.
#pragma once

#include "driver/kernel/ntkernel.h"

namespace pelgar {

// The key every value lives under, below the card's software key.
inline constexpr PCSTR kDriverDataKey = "DriverData";

// Reads a value of at most 4 bytes (any type) into *value. On any failure *value keeps what the caller put
// there, so callers preload their default. STATUS_BUFFER_TOO_SMALL when the value has more than 4 bytes;
// STATUS_OBJECT_NAME_NOT_FOUND when it or the key is missing.
NTSTATUS ReadDriverValue(PDEVICE_OBJECT physicalDevice, PCSTR name, ULONG* value);
// The same under another subkey of the software key (a backslash-separated path such as
// "DriverData\XBarPin0").
NTSTATUS ReadDriverValueAt(PDEVICE_OBJECT physicalDevice, PCSTR subkey, PCSTR name, ULONG* value);
// Writes value as REG_DWORD under "DriverData"; the key must exist.
NTSTATUS WriteDriverValue(PDEVICE_OBJECT physicalDevice, PCSTR name, ULONG value);

}  // namespace pelgar
