#include "installTools/regKey_Tools/regKeyTools.h"

#include <cstring>
#include <vector>

#include "installTools/engine/systemFunctions.h"
#include "installTools/securityTools/engineAssert.h"
#include "installTools/securityTools/securityTools.h"

namespace {

constexpr DWORD kNameBuffer = 512;

std::string enumRoot(bool nt5) { return nt5 ? "SYSTEM\\CurrentControlSet\\Enum\\" : "Enum\\"; }
const char* const kClassRoot = "SYSTEM\\CurrentControlSet\\Control\\Class";
const char* const kClassRoot9x = "System\\CurrentControlSet\\Services\\Class\\MEDIA";
const char* const kDeviceClasses = "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\";

// Four hex digits after the first occurrence of a tag; -1 when the tag is missing or not followed by them.
long numberAfter(const std::string& text, const char* tag) {
  auto at = text.find(tag);
  if (at == std::string::npos) return -1;
  at += std::strlen(tag);
  if (at + 4 > text.size()) return -1;
  long value = 0;
  for (size_t i = at; i < at + 4; ++i) {
    char c = text[i];
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// A text or stream record's path below the enumeration root names a device: an enumerator and at least one
// more part, none of them empty, "." or "..".
bool isDeviceKeyPath(const char* text) {
  std::string path = text;
  if (path.empty()) return false;
  int parts = 0;
  size_t start = 0;
  for (;;) {
    auto slash = path.find('\\', start);
    std::string part = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "." || part == "..") return false;
    ++parts;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts >= 2;
}

}  // namespace

bool RegKeyTools::VendorDeviceTagsMatch(const std::string& text, int vendor, int device) {
  if (vendor == 0 || device == 0) return false;
  std::string upper = text;
  win::CharUpperBuffA(upper.data(), static_cast<DWORD>(upper.size()));
  long foundVendor = numberAfter(upper, "VEN_");
  long foundDevice = numberAfter(upper, "DEV_");
  if (foundVendor < 0 && foundDevice < 0) {
    foundVendor = numberAfter(upper, "VID_");
    foundDevice = numberAfter(upper, "PID_");
  }
  return foundVendor == vendor && foundDevice == device;
}

std::vector<std::string> RegKeyTools::SubkeyNames(const std::string& path) {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
  for (DWORD i = 0;; ++i) {
    char name[kNameBuffer];
    DWORD length = kNameBuffer;
    LONG status = win::RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_SUCCESS) names.emplace_back(name, length);
    if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) break;
  }
  win::RegCloseKey(key);
  return names;
}

bool RegKeyTools::ReadText(const std::string& keyPath, const char* value, char* buffer, DWORD size) {
  HKEY key = nullptr;
  if (win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD length = size;
  std::memset(buffer, 0, size);
  LONG status = win::RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &length);
  win::RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    buffer[0] = '\0';
    return false;
  }
  // A text stored without its terminator that fills the whole buffer does not fit.
  if (length >= size && buffer[size - 1] != '\0') {
    buffer[0] = '\0';
    return false;
  }
  buffer[size - 1] = '\0';
  return true;
}

bool RegKeyTools::DeleteKeyTree(const char* path) {
  if (!path || !*path) return false;
  std::string objectName = std::string("MACHINE\\") + path;
  if (m_bNT5 && m_pSecurity) m_pSecurity->TakeOwnership(true, objectName.c_str());
  HKEY key = nullptr;
  if (win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  DeleteSubKeys(key, objectName);
  win::RegCloseKey(key);
  return DeleteKeyWithAccess(HKEY_LOCAL_MACHINE, "MACHINE", path);
}

bool RegKeyTools::DeleteSubKeys(HKEY key, const std::string& path) {
  DWORD count = 0;
  if (win::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  std::vector<std::string> noted;
  for (DWORD i = 0; i < count; ++i) {
    char name[kNameBuffer];
    DWORD length = kNameBuffer;
    if (win::RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) continue;
    HKEY subkey = nullptr;
    if (win::RegOpenKeyExA(key, name, 0, KEY_READ, &subkey) != ERROR_SUCCESS) continue;
    bool emptied = DeleteSubKeys(subkey, path + "\\" + name);
    win::RegCloseKey(subkey);  // on every path, whether or not the subtree could be emptied
    if (emptied) noted.emplace_back(name, length);
  }
  // Only now, with the enumeration over, are the noted subkeys deleted.
  for (const auto& name : noted) DeleteKeyWithAccess(key, path, name);
  return true;
}

bool RegKeyTools::DeleteKeyWithAccess(HKEY parent, const std::string& parentPath, const std::string& name) {
  if (m_bNT5 && m_pSecurity) {
    std::string objectName = parentPath + "\\" + name;
    m_pSecurity->TakeOwnership(true, objectName.c_str());
    std::vector<uint8_t> descriptor;
    HKEY subkey = nullptr;
    if (win::RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, &subkey) == ERROR_SUCCESS) {
      DWORD size = 0;
      if (win::RegGetKeySecurity(subkey, DACL_SECURITY_INFORMATION, nullptr, &size) == ERROR_INSUFFICIENT_BUFFER &&
          size > 0) {
        descriptor.assign(size, 0);
        if (win::RegGetKeySecurity(subkey, DACL_SECURITY_INFORMATION, descriptor.data(), &size) != ERROR_SUCCESS) {
          descriptor.clear();
        }
      }
      win::RegCloseKey(subkey);
    }
    if (!descriptor.empty() && g_fnSetNamedSecurityInfo) {
      SECURITY_DESCRIPTOR fresh;
      PACL acl = nullptr;
      if (m_pSecurity->GrantFullAccess(&fresh, descriptor.data(), GENERIC_ALL, &acl)) {
        g_fnSetNamedSecurityInfo(objectName.data(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl,
                                 nullptr);
      }
      SecurityTools::FreeAcl(acl);
    }
  }
  return win::RegDeleteKeyA(parent, name.c_str()) == ERROR_SUCCESS;
}

bool RegKeyTools::DelEnumRegKey(const tag_HardwareID& record) {
  const std::string root = enumRoot(m_bNT5);
  if (record.nBusType != HWID_PCI && record.nBusType != HWID_USB) {
    char text[sizeof record.szHardwareID];
    std::memcpy(text, record.szHardwareID, sizeof text);
    text[sizeof text - 1] = '\0';
    if (!isDeviceKeyPath(text)) return false;
    return DeleteKeyTree((root + text).c_str());
  }
  const bool pci = record.nBusType == HWID_PCI;
  const std::string busKey = root + (pci ? "PCI" : "USB");
  std::vector<std::string> noted;
  for (const auto& name : SubkeyNames(busKey)) {
    std::string text = (pci ? "PCI\\" : "USB\\") + name;
    if (text.size() > kHardwareIdTextMax) continue;
    tag_HardwareID candidate{};
    candidate.nBusType = HWID_TEXT;
    std::memcpy(candidate.szHardwareID, text.c_str(), text.size() + 1);
    if (HardwareIDsEqual(record, candidate)) noted.push_back(busKey + "\\" + name);
  }
  for (const auto& path : noted) DeleteKeyTree(path.c_str());
  return !noted.empty();
}

bool RegKeyTools::DelDriverRegKey(const tag_HardwareID& record) {
  std::vector<std::string> classes;
  if (m_bNT5) {
    for (const auto& name : SubkeyNames(kClassRoot)) classes.push_back(std::string(kClassRoot) + "\\" + name);
  } else {
    classes.push_back(kClassRoot9x);
  }
  bool result = false;
  for (const auto& classKey : classes) {
    std::vector<std::string> noted;
    for (const auto& instance : SubkeyNames(classKey)) {
      tag_HardwareID candidate{};
      candidate.nBusType = HWID_TEXT;
      std::string path = classKey + "\\" + instance;
      if (!ReadText(path, "MatchingDeviceId", candidate.szHardwareID, sizeof candidate.szHardwareID)) continue;
      if (HardwareIDsEqual(record, candidate)) noted.push_back(path);
    }
    for (const auto& path : noted) result = DeleteKeyTree(path.c_str());
  }
  return result;
}

bool RegKeyTools::DelServiceRegKey(const char* service) {
  ENGINE_REQUIRE(service, "pStrService", false);
  if (!m_bNT5) return true;
  if (!g_fnOpenSCManager || !g_fnOpenService || !g_fnDeleteService || !g_fnCloseServiceHandle) return false;
  SC_HANDLE manager = g_fnOpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return false;
  bool deleted = false;
  SC_HANDLE handle = g_fnOpenService(manager, service, DELETE);
  if (handle) {
    deleted = g_fnDeleteService(handle) != FALSE;
    g_fnCloseServiceHandle(handle);
  }
  g_fnCloseServiceHandle(manager);
  return deleted;
}

bool RegKeyTools::removeRegClassGuidDataBase(const char* classGuid, int vendor, int device) {
  if (!classGuid) return true;
  const std::string key = std::string(kClassRoot) + "\\" + classGuid;
  std::vector<std::string> noted;
  for (const auto& name : SubkeyNames(key)) {
    char id[kNameBuffer];
    if (!ReadText(key + "\\" + name, "MatchingDeviceId", id, sizeof id)) id[0] = '\0';
    if (VendorDeviceTagsMatch(id, vendor, device)) noted.push_back(key + "\\" + name);
  }
  for (const auto& path : noted) DeleteKeyTree(path.c_str());
  return true;
}

bool RegKeyTools::removeRegClassGuidDataBaseByDriverName(const char* classGuid, const char* driverName) {
  if (!classGuid || !driverName) return true;
  const std::string key = std::string(kClassRoot) + "\\" + classGuid;
  std::vector<std::string> noted;
  for (const auto& name : SubkeyNames(key)) {
    char driver[MAX_PATH];
    if (!ReadText(key + "\\" + name, "NTMPDriver", driver, sizeof driver)) continue;
    if (CompareTextNoCase(driver, driverName, MAX_PATH) == 0) noted.push_back(key + "\\" + name);
  }
  for (const auto& path : noted) DeleteKeyTree(path.c_str());
  return true;
}

bool RegKeyTools::removeRegDeviceClass(const char* interfaceGuid, int vendor, int device) {
  if (!interfaceGuid) return true;
  const std::string key = std::string(kDeviceClasses) + interfaceGuid;
  std::vector<std::string> noted;
  for (const auto& name : SubkeyNames(key)) {
    if (VendorDeviceTagsMatch(name, vendor, device)) noted.push_back(key + "\\" + name);
  }
  for (const auto& path : noted) DeleteKeyTree(path.c_str());
  return true;
}
