#include "installTools/installer/config/perInfFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/seam/winapi.h"

namespace {

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), upperAscii);
  return text;
}

std::string trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A record's text, never reaching past its field.
std::string textOf(const tag_HardwareID& record) {
  const void* end = std::memchr(record.szHardwareID, '\0', sizeof record.szHardwareID);
  size_t length =
      end ? static_cast<size_t>(static_cast<const char*>(end) - record.szHardwareID) : sizeof record.szHardwareID;
  return std::string(record.szHardwareID, length);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Reads one profile string (or, with a null key, the section's key list as NUL-separated names), with a
// buffer that grows until the whole value fits.
std::string profileString(const char* section, const char* key, const char* fallback, const std::string& file) {
  for (DWORD size = 1024;; size *= 2) {
    std::string buffer(size, '\0');
    DWORD length = win::GetPrivateProfileStringA(section, key, fallback, buffer.data(), size, file.c_str());
    // A value that filled the buffer may have been cut: the system returns size - 1 for a cut value and
    // size - 2 for a cut key list.
    const DWORD cut = key ? size - 1 : size - 2;
    if (length < cut || size >= (1u << 20)) {
      buffer.resize(std::min(length, size));
      return buffer;
    }
  }
}

std::string fourHexDigits(uint32_t value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(value));
  return std::string(digits, 4);
}

// A PCI or USB entry without vendor or product number (a class-code or compatible ID such as USB\CLASS_0A)
// would claim every maker's device of that class; it is never a candidate for a present device.
bool hasNumbers(const tag_HardwareID& entry) {
  if (entry.nBusType != HWID_PCI && entry.nBusType != HWID_USB) return true;
  return entry.nVendorID != 0 && entry.nDeviceID != 0;
}

}  // namespace

PerInfFile::PerInfFile(const std::string& keyName, const std::string& path) : path_(path), keyName_(keyName) {
  if (path_.empty()) return;
  DWORD attributes = win::GetFileAttributesA(path_.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  loaded_ = true;
  read();
}

// The models section's name: the first non-empty value of the "Manufacturer" section, upper-cased.
std::string PerInfFile::modelsSectionName() const {
  std::string keys = profileString("Manufacturer", nullptr, "", path_);
  for (size_t start = 0; start < keys.size();) {
    size_t end = keys.find('\0', start);
    if (end == std::string::npos) end = keys.size();
    std::string key = keys.substr(start, end - start);
    start = end + 1;
    if (key.empty()) continue;
    std::string value = profileString("Manufacturer", key.c_str(), "Error", path_);
    if (!value.empty()) return upper(value);
  }
  return {};
}

// The file's lines, without their line ends.
bool PerInfFile::readLines(std::vector<std::string>& lines) const {
  HANDLE file = win::CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string bytes;
  std::vector<char> chunk(64 * 1024);
  for (;;) {
    DWORD got = 0;
    if (!win::ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr) || got == 0) break;
    bytes.append(chunk.data(), got);
  }
  win::CloseHandle(file);

  size_t start = 0;
  while (start <= bytes.size()) {
    size_t end = bytes.find_first_of("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    lines.push_back(bytes.substr(start, end - start));
    if (end < bytes.size() && bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n') ++end;
    start = end + 1;
  }
  return true;
}

void PerInfFile::read() {
  const std::string models = modelsSectionName();
  std::vector<std::string> lines;
  if (!models.empty() && readLines(lines)) {
    bool inside = false;
    for (const std::string& raw : lines) {
      std::string line = trim(upper(raw));
      if (line.empty() || line[0] == ';') continue;
      const bool header = contains(line, "[") && contains(line, "]");
      if (!inside) {
        // The models section's header: the name is looked for anywhere in the header line.
        inside = header && contains(line, models);
        continue;
      }
      if (header) break;
      tag_HardwareID record{};
      if (ParseHardwareIDText(line.c_str(), record)) hardwareIds_.push_back(record);
    }
  }
  classGuid_ = profileString("Version", "ClassGUID", "Error", path_);
}

const tag_HardwareID* PerInfFile::hardwareIdAt(int index) const {
  if (index < 0 || index >= hardwareIdCount()) return nullptr;
  return &hardwareIds_[static_cast<size_t>(index)];
}

bool PerInfFile::matchHardware(const tag_HardwareID& record) {
  const std::string device = upper(textOf(record));
  for (const tag_HardwareID& entry : hardwareIds_) {
    if (entry.nBusType != record.nBusType || !hasNumbers(entry)) continue;
    if (entry.nBusType != HWID_STREAM &&
        (entry.nVendorID != record.nVendorID || entry.nDeviceID != record.nDeviceID)) {
      continue;
    }
    if (contains(device, upper(textOf(entry)))) {
      matched_.push_back(record);
      return true;
    }
  }
  return false;
}

void PerInfFile::clearMatches() {
  matched_.clear();
  best_ = tag_HardwareID{};
}

const tag_HardwareID& PerInfFile::bestMatch(const std::string& text) {
  const std::string wanted = upper(text);
  std::vector<const tag_HardwareID*> entries;
  std::vector<const tag_HardwareID*> devices;
  for (const tag_HardwareID& entry : hardwareIds_) {
    if (contains(upper(textOf(entry)), wanted)) entries.push_back(&entry);
  }
  for (const tag_HardwareID& device : matched_) {
    if (contains(upper(textOf(device)), wanted)) devices.push_back(&device);
  }

  tag_HardwareID best{};
  if (entries.size() == 1) {
    best = *entries.front();
  } else {
    // The most specific entry: the one sharing the longest leading part with a device's own ID.
    for (const tag_HardwareID* device : devices) {
      const std::string deviceText = upper(textOf(*device));
      for (const tag_HardwareID* entry : entries) {
        const std::string entryText = upper(textOf(*entry));
        if (!contains(deviceText, entryText)) continue;
        const int shared = commonPrefixIndex(deviceText, entryText) + 1;
        if (static_cast<int>(textOf(best).size()) < shared) best = *entry;
      }
    }
  }
  best_ = best;
  return best_;
}

std::string PerInfFile::vidPidListText() const {
  std::string text;
  for (size_t i = 0; i < hardwareIds_.size(); ++i) {
    const tag_HardwareID& entry = hardwareIds_[i];
    if (i == 0) {
      text += entry.nBusType == HWID_PCI ? "PCI|" : "USB|";
    } else {
      text += "|";
    }
    text += fourHexDigits(entry.nVendorID) + "," + fourHexDigits(entry.nDeviceID);
  }
  return text;
}

int PerInfFile::commonPrefixIndex(const std::string& a, const std::string& b) {
  size_t length = 0;
  while (length < a.size() && length < b.size() && upperAscii(a[length]) == upperAscii(b[length])) ++length;
  return static_cast<int>(length) - 1;
}
