// The steps every product sequence shares, and the two generic pairs of sequences: CopyInf (every configured INF
// file of the product) and RxXXX (the RX410 family: INF file 0 and every hardware ID).
#pragma once

#include <string>

#include "installTools/installer/shell/installThread.h"

class PerInfFile;

class CommonSequence : public InstallThread {
 public:
  using InstallThread::InstallThread;

 protected:
  // Whether the thread was asked to end before its sequence began.
  bool startTestFails() const { return terminated(); }
  // Removes every hardware ID of the product; the pausing variant waits 500 ms before deleting INF files.
  void uninstallByIdLoop(bool pausing);
  // Steps 1 to 9 of the loop for one record.
  void uninstallOne(const tag_HardwareID& record, bool pausing);
  // Installs INF slot n for its best hardware ID of the moment.
  bool singleInfInstall(int slot);
  // Whether a slot takes part in the CopyInf sequences: not "EmptyInf" and its file exists.
  static bool slotConfigured(PerInfFile& slot, std::string& fileName);
};

class CopyInf_install : public CommonSequence {
 public:
  CopyInf_install(PcHwStatus& hw, DWORD* restartNeeded, Install_IniSection& section)
      : CommonSequence(hw, restartNeeded, kInstall, section) {}

 protected:
  void execute() override;
};

class CopyInf_unInstall : public CommonSequence {
 public:
  CopyInf_unInstall(PcHwStatus& hw, DWORD* restartNeeded, Install_IniSection& section)
      : CommonSequence(hw, restartNeeded, kUninstall, section) {}

 protected:
  void execute() override;
};

class RxXXX_install : public CommonSequence {
 public:
  RxXXX_install(PcHwStatus& hw, DWORD* restartNeeded, Install_IniSection& section)
      : CommonSequence(hw, restartNeeded, kInstall, section) {}

 protected:
  void execute() override;
};

class RxXXX_uninstall : public CommonSequence {
 public:
  RxXXX_uninstall(PcHwStatus& hw, DWORD* restartNeeded, Install_IniSection& section)
      : CommonSequence(hw, restartNeeded, kUninstall, section) {}

 protected:
  void execute() override;
};
