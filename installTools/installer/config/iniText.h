// Reading and writing the installer's INI files through the profile-string functions, and the fixed records of
// texts that the files hold (a key and a default per field).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// The value of KEY in SECTION of the INI file at PATH, or the default; never cut short.
std::string readIniString(const std::string& path, const char* section, const char* key, const std::string& def);
bool writeIniString(const std::string& path, const char* section, const char* key, const std::string& value);

// Whether a file (not a folder) exists at PATH.
bool fileExists(const std::string& path);

// A whole decimal number with an optional sign that fits 32 bits, or nothing.
std::optional<int32_t> parseInteger(std::string_view text);
// Reads an integer key: a value that is not a number gives the default.
int32_t readIniInteger(const std::string& path, const char* section, const char* key, int32_t def);

struct IniField {
  const char* key;
  const char* defaultValue;
};

// A fixed list of texts, each with its INI key and default.
class IniTextRecord {
 public:
  explicit IniTextRecord(std::span<const IniField> fields) : fields_(fields), values_(fields.size()) {}

  size_t size() const { return fields_.size(); }
  const char* key(size_t index) const { return fields_[index].key; }
  const std::string& at(size_t index) const { return values_[index]; }
  std::string& at(size_t index) { return values_[index]; }
  // The field of that key ("" and no change for an unknown key).
  std::string get(std::string_view key) const;
  bool set(std::string_view key, const std::string& value);
  std::optional<size_t> indexOf(std::string_view key) const;

  // Reads (or writes) the fields in the given order of indexes, each with its default.
  void read(const std::string& path, const char* section, std::span<const size_t> order);
  void write(const std::string& path, const char* section, std::span<const size_t> order) const;

 private:
  std::span<const IniField> fields_;
  std::vector<std::string> values_;
};
