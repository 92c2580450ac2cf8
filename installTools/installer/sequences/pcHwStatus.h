// Which products' hardware is plugged in: the present devices as the install engine lists them, matched against
// every product of the active product list.
#pragma once

#include <vector>

#include "installTools/engine/hardwareId.h"
#include "installTools/installer/shell/threadMutex.h"

class Install_IniFile;

class PcHwStatus {
 public:
  static constexpr int kMaxDevices = 256;

  // Rescans once.
  explicit PcHwStatus(Install_IniFile& config);
  PcHwStatus(const PcHwStatus&) = delete;
  PcHwStatus& operator=(const PcHwStatus&) = delete;

  // Re-lists the present devices and re-matches every section of the active product list.
  void rescan();
  // Whether a present device has the record's bus, its numbers (except for stream devices) and its text (both
  // upper-cased) inside its own text. An empty text is found nowhere.
  bool isPresent(const tag_HardwareID& record);
  std::vector<tag_HardwareID> presentDevices();
  // The lock of the device lists; readers of the sections' matches take it too.
  ThreadMutex& mutex() { return mutex_; }

 private:
  std::vector<tag_HardwareID> present_;
  Install_IniFile& config_;
  ThreadMutex mutex_;
};
