#include "installTools/installer/config/regData.h"

#include <cstring>
#include <vector>

HKLM_RegDataRW::HKLM_RegDataRW(const char* keyPath, int mode) {
  if (!keyPath) return;
  if (mode == kReadOnly) {
    open_ = win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key_) == ERROR_SUCCESS;
    if (open_) {
      DWORD subKeys = 0, values = 0;
      win::RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr,
                            nullptr, nullptr);
    }
  } else {
    DWORD disposition = 0;
    open_ = win::RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                 nullptr, &key_, &disposition) == ERROR_SUCCESS;
  }
  if (!open_) key_ = nullptr;
}

HKLM_RegDataRW::~HKLM_RegDataRW() {
  if (open_) win::RegCloseKey(key_);
}

bool HKLM_RegDataRW::readInteger(const char* name, int32_t& out) {
  if (!name || !key_) return false;
  DWORD type = 0, value = 0, size = sizeof value;
  if (win::RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof value)
    return false;
  out = static_cast<int32_t>(value);
  return true;
}

bool HKLM_RegDataRW::readString(const char* name, char* buffer, uint32_t size) {
  if (!name || !key_ || !buffer || size == 0) return false;
  DWORD type = 0, needed = 0;
  if (win::RegQueryValueExA(key_, name, nullptr, &type, nullptr, &needed) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return false;
  std::vector<char> text(needed + 1, '\0');
  DWORD got = needed;
  if (win::RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &got) != ERROR_SUCCESS)
    return false;
  std::memset(buffer, 0, size);
  // The stored text need not carry its terminator; the vector has one more zero byte after it.
  size_t length = std::strlen(text.data());
  if (length > size - 1) length = size - 1;
  std::memcpy(buffer, text.data(), length);
  return true;
}

bool HKLM_RegDataRW::writeInteger(const char* name, int32_t value) {
  if (!name || !open_) return false;
  DWORD v = static_cast<DWORD>(value);
  return win::RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v) == ERROR_SUCCESS;
}

bool HKLM_RegDataRW::writeString(const char* name, const char* text) {
  if (!name || !open_ || !text) return false;
  return win::RegSetValueExA(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             static_cast<DWORD>(std::strlen(text) + 1)) == ERROR_SUCCESS;
}

bool HKLM_RegDataRW::readData(const char* name, void* buffer, uint32_t size) {
  if (!name || !open_) return false;
  DWORD type = 0, got = size;
  if (win::RegQueryValueExA(key_, name, nullptr, &type, static_cast<BYTE*>(buffer), &got) != ERROR_SUCCESS)
    return false;
  return got > 0;
}

bool HKLM_RegDataRW::writeData(const char* name, const void* buffer, uint32_t size) {
  if (!name || !open_) return false;
  return win::RegSetValueExA(key_, name, 0, REG_BINARY, static_cast<const BYTE*>(buffer), size) == ERROR_SUCCESS;
}

bool HKLM_RegDataRW::deleteValue(const char* name) {
  if (!name || !key_) return false;
  return win::RegDeleteValueA(key_, name) == ERROR_SUCCESS;
}

IntRegData::IntRegData(const char* valueName, int32_t initial, int32_t marker)
    : name_(valueName ? valueName : ""), value_(initial), default_(initial), previous_(initial), marker_(marker) {}

void IntRegData::setValue(int32_t v) {
  if (v != value_) previous_ = value_;
  value_ = v;
}

bool IntRegData::load(I_HKLM_RegDataRW& key) {
  int32_t stored = 0;
  if (!key.readInteger(name_.c_str(), stored)) return false;
  if (stored == marker_) stored = default_;
  value_ = stored;
  previous_ = stored;
  return true;
}

StringRegData::StringRegData(const char* valueName, const std::string& defaultText, const std::string& marker)
    : name_(valueName ? valueName : ""), value_(defaultText), default_(defaultText), marker_(marker) {}

bool StringRegData::load(I_HKLM_RegDataRW& key) {
  char buffer[1024];
  if (!key.readString(name_.c_str(), buffer, sizeof buffer)) return false;
  value_ = buffer == marker_ ? default_ : std::string(buffer);
  return true;
}
