#include "installTools/installer/config/iniText.h"

#include <limits>
#include <vector>

#include "platform/seam/winapi.h"

std::string readIniString(const std::string& path, const char* section, const char* key, const std::string& def) {
  std::vector<char> buffer(256);
  for (;;) {
    DWORD n = win::GetPrivateProfileStringA(section, key, def.c_str(), buffer.data(),
                                            static_cast<DWORD>(buffer.size()), path.c_str());
    // A result of size - 1 means the text may have been cut: read again with room to spare.
    if (n + 1 < buffer.size() || buffer.size() >= (1u << 20)) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 4);
  }
}

bool writeIniString(const std::string& path, const char* section, const char* key, const std::string& value) {
  return win::WritePrivateProfileStringA(section, key, value.c_str(), path.c_str()) != FALSE;
}

bool fileExists(const std::string& path) {
  DWORD attributes = win::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<int32_t> parseInteger(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{std::numeric_limits<int32_t>::max()} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max() || value < std::numeric_limits<int32_t>::min()) return std::nullopt;
  return static_cast<int32_t>(value);
}

int32_t readIniInteger(const std::string& path, const char* section, const char* key, int32_t def) {
  auto value = parseInteger(readIniString(path, section, key, std::to_string(def)));
  return value ? *value : def;
}

std::optional<size_t> IniTextRecord::indexOf(std::string_view key) const {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (key == fields_[i].key) return i;
  return std::nullopt;
}

std::string IniTextRecord::get(std::string_view key) const {
  auto i = indexOf(key);
  return i ? values_[*i] : std::string();
}

bool IniTextRecord::set(std::string_view key, const std::string& value) {
  auto i = indexOf(key);
  if (!i) return false;
  values_[*i] = value;
  return true;
}

void IniTextRecord::read(const std::string& path, const char* section, std::span<const size_t> order) {
  for (size_t i : order) values_[i] = readIniString(path, section, fields_[i].key, fields_[i].defaultValue);
}

void IniTextRecord::write(const std::string& path, const char* section, std::span<const size_t> order) const {
  for (size_t i : order) writeIniString(path, section, fields_[i].key, values_[i]);
}
