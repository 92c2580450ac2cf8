// The install engine's registry and service cleanup: the enumeration, driver and device-interface keys of a
// device and its service. On the NT5 path each key is taken over for the current user (SecurityTools) before
// it is deleted. All keys lie under HKEY_LOCAL_MACHINE. Single keys that cannot be opened or deleted are
// skipped; the operations go on with the next one.
#pragma once

#include <string>
#include <vector>

#include "installTools/engine/hardwareId.h"
#include "platform/seam/winapi.h"

class SecurityTools;

class RegKeyTools {
 public:
  RegKeyTools(SecurityTools* security, bool nt5) : m_pSecurity(security), m_bNT5(nt5) {}

  SecurityTools* security() const { return m_pSecurity; }
  bool nt5() const { return m_bNT5; }

  // Deletes a key below HKEY_LOCAL_MACHINE with its whole subtree, leaves first; true when the key itself went.
  bool DeleteKeyTree(const char* path);
  // The device's enumeration keys. A PCI or USB record: every device key under Enum\PCI or Enum\USB that names
  // the same device (HardwareIDsEqual); true when at least one was found. A text or stream record: the key its
  // text names below the enumeration root, which must be a device key at least two levels down ("STREAM\XYZ"):
  // an empty text, a bare enumerator, or a path with an empty, "." or ".." part deletes nothing (false).
  bool DelEnumRegKey(const tag_HardwareID& record);
  // The class instances (driver keys) whose "MatchingDeviceId" names the record's device; the result of the
  // last deletion, false when nothing matched. A "MatchingDeviceId" longer than 127 characters matches nothing.
  bool DelDriverRegKey(const tag_HardwareID& record);
  // Deletes the service through the service control manager; true when it was deleted (always true on the
  // non-NT5 path). A null name is a programming error.
  bool DelServiceRegKey(const char* service);
  // The class instances of a setup class whose "MatchingDeviceId" holds the vendor and device. Always true.
  bool removeRegClassGuidDataBase(const char* classGuid, int vendor, int device);
  // The class instances of a setup class whose "NTMPDriver" is the driver file (ignoring case). Always true.
  bool removeRegClassGuidDataBaseByDriverName(const char* classGuid, const char* driverName);
  // The device-interface keys of an interface class whose names hold the vendor and device. Always true.
  bool removeRegDeviceClass(const char* interfaceGuid, int vendor, int device);

  // Whether a text (a "MatchingDeviceId" or a device-interface name) carries the vendor and device: the four
  // hex digits after its own vendor tag ("VEN_" or "VID_") and device tag ("DEV_" or "PID_") equal them.
  // A vendor or device of 0 matches nothing.
  static bool VendorDeviceTagsMatch(const std::string& text, int vendor, int device);

 private:
  // Deletes every subkey tree of an open key, leaves first; the path names the key for the security functions
  // ("MACHINE\..."). True when the subkeys could be listed.
  bool DeleteSubKeys(HKEY key, const std::string& path);
  // Deletes one subkey of an open parent after (NT5) making the user its owner and granting full access.
  bool DeleteKeyWithAccess(HKEY parent, const std::string& parentPath, const std::string& name);
  // The subkey names of a key below HKEY_LOCAL_MACHINE; empty when it cannot be opened.
  static std::vector<std::string> SubkeyNames(const std::string& path);
  // Reads a text value as a terminated string into buffer (size characters with the terminator): false when
  // it is missing, not a text, or does not fit.
  static bool ReadText(const std::string& keyPath, const char* value, char* buffer, DWORD size);

  SecurityTools* m_pSecurity;
  bool m_bNT5;
};
