#include "installTools/engine/hardwareId.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

namespace {

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The record's text, never reaching past the field even when a caller left it without its NUL.
std::string_view textOf(const tag_HardwareID& record) {
  const void* end = std::memchr(record.szHardwareID, '\0', sizeof record.szHardwareID);
  size_t length =
      end ? static_cast<size_t>(static_cast<const char*>(end) - record.szHardwareID) : sizeof record.szHardwareID;
  return {record.szHardwareID, length};
}

std::string upperText(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = upperAscii(c);
  return result;
}

// An unsigned base-16 number at the start of text, up to the first character that is not a hex digit.
// Values beyond 32 bits saturate at FFFFFFFF, as the C library's conversion does.
uint32_t readHex(std::string_view text) {
  uint64_t value = 0;
  for (char c : text) {
    int digit = hexDigit(c);
    if (digit < 0) break;
    value = value * 16 + static_cast<unsigned>(digit);
    if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>(value);
}

// The hex number after the first occurrence of tag in text (ignoring case), or 0 when the tag is missing.
uint32_t hexAfterTagNoCase(std::string_view text, const char* tag) {
  std::string upper = upperText(text);
  size_t at = upper.find(tag);
  if (at == std::string::npos) return 0;
  return readHex(text.substr(at + std::strlen(tag)));
}

// Exactly four hex digits after the first occurrence of tag in text (case-sensitive): their value, or 0 when
// the tag is missing or the four characters are not all hex digits.
uint32_t fourHexAfterTag(std::string_view text, const char* tag) {
  size_t at = text.find(tag);
  if (at == std::string_view::npos) return 0;
  std::string_view digits = text.substr(at + std::strlen(tag));
  if (digits.size() < 4) return 0;
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    int digit = hexDigit(digits[i]);
    if (digit < 0) return 0;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return value;
}

// A record that names no device: a PCI or USB record without a vendor or device number, a STREAM record
// without a text. Such records come from malformed IDs or zero-filled slots; matching them would select other
// makers' devices (Wine, for one, lists a display device PCI\VEN_0000&DEV_0000).
bool namesNoDevice(const tag_HardwareID& record) {
  if (record.nBusType == HWID_PCI || record.nBusType == HWID_USB) {
    return record.nVendorID == 0 || record.nDeviceID == 0;
  }
  if (record.nBusType == HWID_STREAM) return textOf(record).empty();
  return false;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The line up to its comment: the first ";" that is not inside double quotes.
std::string_view withoutComment(std::string_view line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '"') quoted = !quoted;
    if (line[i] == ';' && !quoted) return line.substr(0, i);
  }
  return line;
}

}  // namespace

int CompareTextNoCase(const char* a, const char* b, size_t n) {
  if (!a || !b) return a == b ? 0 : (a ? 1 : -1);
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(upperAscii(a[i]));
    unsigned char y = static_cast<unsigned char>(upperAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

int FindTextNoCase(const char* text, const char* part) {
  if (!text || !part) return -1;
  size_t partLength = std::strlen(part);
  for (size_t at = 0;; ++at) {
    if (CompareTextNoCase(text + at, part, partLength) == 0) return static_cast<int>(at);
    if (text[at] == '\0') return -1;
  }
}

bool NormalizeHardwareID(tag_HardwareID& record) {
  if (record.nBusType != HWID_TEXT) return true;
  std::string_view text = textOf(record);
  std::string upper = upperText(text);
  if (upper.starts_with("STREAM\\")) {
    record.nBusType = HWID_STREAM;
    return true;
  }
  if (upper.starts_with("PCI\\")) {
    record.nVendorID = hexAfterTagNoCase(text, "VEN_") & 0xFFFFu;
    record.nDeviceID = hexAfterTagNoCase(text, "DEV_") & 0xFFFFu;
    record.nSubSysID = hexAfterTagNoCase(text, "SUBSYS_");
    record.nBusType = HWID_PCI;
    return true;
  }
  if (upper.starts_with("USB\\")) {
    record.nVendorID = hexAfterTagNoCase(text, "VID_") & 0xFFFFu;
    record.nDeviceID = hexAfterTagNoCase(text, "PID_") & 0xFFFFu;
    bool hasInterface = upper.find("MI_") != std::string::npos;
    record.nInterface =
        hasInterface ? static_cast<uint16_t>(0x1000u | (hexAfterTagNoCase(text, "MI_") & 0xFFu)) : uint16_t{0};
    record.nBusType = HWID_USB;
    return true;
  }
  return false;
}

bool HardwareIDsEqual(const tag_HardwareID& wantedRecord, const tag_HardwareID& candidateRecord) {
  if (wantedRecord.nBusType != candidateRecord.nBusType && wantedRecord.nBusType != HWID_TEXT &&
      candidateRecord.nBusType != HWID_TEXT) {
    return false;
  }
  auto normalised = [](const tag_HardwareID& record, tag_HardwareID& copy) {
    if (record.nBusType != HWID_TEXT) {
      copy = record;
      return true;
    }
    copy = tag_HardwareID{};
    copy.nBusType = HWID_TEXT;
    std::string_view text = textOf(record);
    std::memcpy(copy.szHardwareID, text.data(), std::min(text.size(), kHardwareIdTextMax));
    return NormalizeHardwareID(copy);
  };
  tag_HardwareID wanted;
  tag_HardwareID candidate;
  if (!normalised(wantedRecord, wanted) || !normalised(candidateRecord, candidate)) return false;
  if (wanted.nBusType != candidate.nBusType) return false;
  if (namesNoDevice(wanted) || namesNoDevice(candidate)) return false;

  switch (wanted.nBusType) {
    case HWID_STREAM: {
      std::string_view wantedText = textOf(wanted);
      std::string_view candidateText = textOf(candidate);
      return candidateText.size() >= wantedText.size() &&
             upperText(candidateText.substr(0, wantedText.size())) == upperText(wantedText);
    }
    case HWID_PCI: {
      if (wanted.nVendorID != candidate.nVendorID || wanted.nDeviceID != candidate.nDeviceID) return false;
      // Only the subsystem value's two low-order bytes count, each only where the wanted one is not zero.
      for (unsigned shift : {0u, 8u}) {
        uint32_t wantedByte = (wanted.nSubSysID >> shift) & 0xFFu;
        uint32_t candidateByte = (candidate.nSubSysID >> shift) & 0xFFu;
        if (wantedByte != 0 && wantedByte != candidateByte) return false;
      }
      return true;
    }
    case HWID_USB:
      return wanted.nVendorID == candidate.nVendorID && wanted.nDeviceID == candidate.nDeviceID &&
             wanted.nInterface == candidate.nInterface;
    default: return false;
  }
}

bool MatchHardwareIDText(const char* text, const tag_HardwareID& record) {
  if (!text) return false;
  const char* prefix = nullptr;
  const char* vendorTag = nullptr;
  const char* deviceTag = nullptr;
  switch (record.nBusType) {
    case HWID_USB: prefix = "USB\\", vendorTag = "VID_", deviceTag = "PID_"; break;
    case HWID_PCI: prefix = "PCI\\", vendorTag = "VEN_", deviceTag = "DEV_"; break;
    case HWID_STREAM: prefix = "STREAM\\"; break;
    default: return false;
  }
  if (namesNoDevice(record)) return false;
  std::string upper = upperText(text);
  size_t at = upper.find(prefix);
  if (at == std::string::npos) return false;
  if (record.nBusType == HWID_STREAM) return upper.find(textOf(record)) != std::string::npos;

  // The device's own numbers: those after its vendor and device tags, never digits found elsewhere.
  std::string_view id = std::string_view(upper).substr(at);
  size_t vendorAt = id.find(vendorTag);
  size_t deviceAt = id.find(deviceTag);
  if (vendorAt == std::string_view::npos || deviceAt == std::string_view::npos) return false;
  return readHex(id.substr(vendorAt + 4)) == record.nVendorID && readHex(id.substr(deviceAt + 4)) == record.nDeviceID;
}

bool ParseHardwareIDText(const char* text, tag_HardwareID& record) {
  if (!text) return false;
  std::string_view line = withoutComment(text);
  struct Bus {
    const char* prefix;
    int32_t type;
    const char* vendorTag;
    const char* deviceTag;
  };
  static constexpr Bus kBuses[] = {
      {"USB\\", HWID_USB, "VID_", "PID_"},
      {"PCI\\", HWID_PCI, "VEN_", "DEV_"},
      {"STREAM\\", HWID_STREAM, nullptr, nullptr},
  };
  for (const Bus& bus : kBuses) {
    size_t at = line.find(bus.prefix);
    if (at == std::string_view::npos) continue;
    std::string_view id = line.substr(at);
    while (!id.empty() && isBlank(id.back())) id.remove_suffix(1);
    // A text the record cannot hold is refused whole: cut short, it would name a different device.
    if (id.size() > kHardwareIdTextMax) return false;
    record.nBusType = bus.type;
    record.nVendorID = bus.vendorTag ? fourHexAfterTag(id, bus.vendorTag) : 0;
    record.nDeviceID = bus.deviceTag ? fourHexAfterTag(id, bus.deviceTag) : 0;
    std::memset(record.szHardwareID, 0, sizeof record.szHardwareID);
    std::memcpy(record.szHardwareID, id.data(), id.size());
    return true;
  }
  return false;
}
