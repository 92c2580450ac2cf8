#include "installTools/installer/sequences/commonSequence.h"

#include "installTools/installIniSection/installIniSection.h"
#include "installTools/installer/config/iniText.h"
#include "installTools/installer/sequences/engineCalls.h"

namespace {

std::string fileNameOf(const std::string& path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool equalsNoCase(const std::string& a, const char* b) {
  return a.size() == std::char_traits<char>::length(b) && CompareTextNoCase(a.c_str(), b, a.size()) == 0;
}

}  // namespace

void CommonSequence::uninstallOne(const tag_HardwareID& record, bool pausing) {
  reportStatus("Removing WDM driver.", 0);
  Engine::UninstallByID(record);
  reportStatus("Check Device status.", 60);
  if (Engine::IsDeviceInstalled(record)) {
    reportError("Removing WDM device driver failed.");
    return;
  }
  reportStatus("Unregistering Driver Service.", 70);
  if (pausing) wait(500);
  reportStatus("Deleting INF files.", 90);
  Engine::DelInfFile(&record, 1);
  reportStatus("Unistall complete", 100);
  wait(100);
}

void CommonSequence::uninstallByIdLoop(bool pausing) {
  int count = section().hardwareIdCount();
  for (int i = 0; i < count; ++i) {
    const tag_HardwareID* record = section().hardwareIdAt(i);
    if (record) uninstallOne(*record, pausing);
  }
}

bool CommonSequence::singleInfInstall(int slot) {
  PerInfFile* inf = section().infFile(slot);
  tag_HardwareID best = inf->bestMatch("");
  return installDevice(best, inf->path());
}

bool CommonSequence::slotConfigured(PerInfFile& slot, std::string& fileName) {
  fileName = fileNameOf(slot.path());
  return !equalsNoCase(fileName, "EmptyInf") && fileExists(slot.path());
}

void CopyInf_install::execute() {
  if (startTestFails()) return;
  for (int n = 0; n < 6; ++n) {
    PerInfFile* slot = section().infFile(n);
    std::string name;
    if (!slot || !slotConfigured(*slot, name)) continue;
    reportStatus("Install Inf " + name, 25 * n);
    installDevice(slot->bestMatch(""), slot->path());
    wait(3000);
    Engine::RefreshDevice();
  }
  reportStatus("Install INF files completely.", 100);
  setSuccess();
}

void CopyInf_unInstall::execute() {
  reportStatus("START_PROCESSING", 0);
  wait(500);
  for (int n = 0; n < 6; ++n) {
    PerInfFile* slot = section().infFile(n);
    std::string name;
    if (!slot || !slotConfigured(*slot, name)) continue;
    tag_HardwareID record = slot->bestMatch("");
    uninstallOne(record, true);
  }
  setNeedReboot(1);
  setSuccess();
}

void RxXXX_install::execute() {
  if (startTestFails()) return;
  singleInfInstall(0);
  reportStatus("Install INF files completely.", 100);
  setSuccess();
}

void RxXXX_uninstall::execute() {
  if (startTestFails()) return;
  uninstallByIdLoop(false);
  setSuccess();
}
