#include "installTools/installer/sequences/sequenceTable.h"

#include "installTools/installer/sequences/commonSequence.h"

SequenceClass sequenceClassOf(int32_t productId) {
  switch (productId) {
    case 111:
    case 112:
    case 530:
    case 540:
    case 520: return SequenceClass::RxXXX;
    default: return SequenceClass::CopyInf;
  }
}

std::unique_ptr<InstallThread> createInstallThread(int32_t productId, PcHwStatus& hw, DWORD* restartNeeded,
                                                   Install_IniSection& section) {
  std::unique_ptr<InstallThread> thread;
  if (sequenceClassOf(productId) == SequenceClass::RxXXX)
    thread = std::make_unique<RxXXX_install>(hw, restartNeeded, section);
  else
    thread = std::make_unique<CopyInf_install>(hw, restartNeeded, section);
  thread->start();
  return thread;
}

std::unique_ptr<InstallThread> createUninstallThread(int32_t productId, PcHwStatus& hw, DWORD* restartNeeded,
                                                     Install_IniSection& section) {
  std::unique_ptr<InstallThread> thread;
  if (sequenceClassOf(productId) == SequenceClass::RxXXX)
    thread = std::make_unique<RxXXX_uninstall>(hw, restartNeeded, section);
  else
    thread = std::make_unique<CopyInf_unInstall>(hw, restartNeeded, section);
  thread->start();
  return thread;
}
