#include "installTools/installer/sequences/pcHwStatus.h"

#include <cctype>
#include <string>

#include "installTools/installer/config/installIniFile.h"
#include "installTools/installer/sequences/engineCalls.h"
#include "platform/desktop/desktop.h"

PcHwStatus::PcHwStatus(Install_IniFile& config) : config_(config) { rescan(); }

void PcHwStatus::rescan() {
  ThreadMutexGuard guard(mutex_);
  present_.clear();
  std::vector<tag_HardwareID> table(kMaxDevices, tag_HardwareID{});
  int n = Engine::getAllDevicePresent(table.data(), kMaxDevices);
  if (n > kMaxDevices) n = kMaxDevices;
  for (int i = 0; i < n; ++i) {
    table[i].szHardwareID[kHardwareIdTextMax] = 0;
    present_.push_back(table[i]);
    desk::OutputDebugStringA(table[i].szHardwareID);
  }
  for (Install_IniSection* section : config_.activeSections()) {
    section->clearMatches();
    for (const tag_HardwareID& device : present_) section->matchHardware(device);
  }
}

namespace {
std::string upper(const char* text) {
  std::string result = text;
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}
}  // namespace

bool PcHwStatus::isPresent(const tag_HardwareID& q) {
  ThreadMutexGuard guard(mutex_);
  std::string wanted = upper(q.szHardwareID);
  if (wanted.empty()) return false;
  for (const tag_HardwareID& p : present_) {
    if (p.nBusType != q.nBusType) continue;
    if (p.nBusType != HWID_STREAM && (p.nVendorID != q.nVendorID || p.nDeviceID != q.nDeviceID)) continue;
    if (upper(p.szHardwareID).find(wanted) != std::string::npos) return true;
  }
  return false;
}

std::vector<tag_HardwareID> PcHwStatus::presentDevices() {
  ThreadMutexGuard guard(mutex_);
  return present_;
}
