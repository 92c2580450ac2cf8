// One INF file of a product: the hardware IDs it installs, read from its models section as plain text, and
// the present devices that belong to it.
#pragma once

#include <string>
#include <vector>

#include "installTools/engine/hardwareId.h"

class PerInfFile {
 public:
  // Stores the key name ("InfFileName_0" ... "InfFileName_5") and the full path; when the path is not empty
  // and names an existing file, reads the file's hardware IDs and class GUID and marks the object loaded.
  PerInfFile(const std::string& keyName, const std::string& path);
  virtual ~PerInfFile() = default;

  // True when the path was not empty and the file existed at construction.
  bool isLoaded() const { return loaded_; }
  const std::string& path() const { return path_; }
  const std::string& keyName() const { return keyName_; }
  // "ClassGUID" of the file's "Version" section; "Error" when the file has none, empty when it was not read.
  const std::string& classGuid() const { return classGuid_; }

  // The file's hardware IDs, in the order of its models lines.
  int hardwareIdCount() const { return static_cast<int>(hardwareIds_.size()); }
  // The record at index, or null when the index is negative or not below the count.
  const tag_HardwareID* hardwareIdAt(int index) const;

  // Whether the present device described by record is one of the file's hardware IDs: an entry of the same bus
  // (and, for PCI and USB, the same vendor and product numbers) whose text the device's text contains,
  // ignoring case. On success a copy of the record is appended to the matched list; otherwise nothing changes.
  bool matchHardware(const tag_HardwareID& record);
  int matchedCount() const { return static_cast<int>(matched_.size()); }
  // Empties the matched list and zeroes the best-match record.
  void clearMatches();

  // The file's hardware ID that best describes a present device, among the entries whose text contains text
  // (all entries for an empty text): the only such entry, or else the most specific entry that a matched
  // device's text contains, or else a zero record. Stored in and returned as the object's own slot.
  const tag_HardwareID& bestMatch(const std::string& text);

  // The hardware IDs as "PCI|vvvv,dddd|vvvv,dddd..." ("USB|" when the first entry is not PCI); empty when the
  // file has none.
  std::string vidPidListText() const;

  // Replaces the stored path; the hardware IDs, class GUID and loaded flag stay as they were read.
  void setPath(const std::string& path) { path_ = path; }

  // The 0-based index of the last character of the common leading part of a and b, compared upper-cased;
  // -1 when their first characters differ (or either is empty).
  static int commonPrefixIndex(const std::string& a, const std::string& b);

 private:
  void read();
  std::string modelsSectionName() const;
  bool readLines(std::vector<std::string>& lines) const;

  std::vector<tag_HardwareID> hardwareIds_;  // the INF file's hardware IDs, in line order
  std::vector<tag_HardwareID> matched_;      // copies of the present devices matchHardware accepted
  tag_HardwareID best_{};                    // the slot bestMatch fills and returns
  std::string path_;
  std::string classGuid_;
  std::string keyName_;
  bool loaded_ = false;
};
