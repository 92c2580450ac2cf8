// A debug channel of the installer. Its switch lives under HKEY_LOCAL_MACHINE "SOFTWARE\Taviron\Debug\1.00.000" as a
// REG_DWORD named by the channel, beside three process-wide switches read once per process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "installTools/installer/config/regData.h"

class MyDebug {
 public:
  static constexpr const char* kKeyPath = "SOFTWARE\\Taviron\\Debug\\1.00.000";

  MyDebug(const char* sourcePath, const char* channelName);
  ~MyDebug();
  MyDebug(const MyDebug&) = delete;
  MyDebug& operator=(const MyDebug&) = delete;

  const std::string& sourceName() const { return sourceName_; }  // the file-name part of the source path
  int32_t channelValue() { return channel_->value(); }

  // The process-wide switches; -1 until the first channel read them.
  static int32_t outFileName();
  static int32_t enableDebug();
  static int32_t outDebugId();
  // Forgets the switches, so that the next channel reads them again (a new process, for the tests).
  static void resetSwitches();

 private:
  std::string sourceName_;
  std::unique_ptr<IntRegData> channel_;
};
