// The engine library's exports: each forwards to the engine's InstallManager, except _IsWindows2k.
#include "installTools/engine/installManager.h"
#include "installTools/engine/tvSetupEngine.h"

namespace {
// The engine's object exists from the library's load on.
[[maybe_unused]] InstallManager& manager = TheInstallManager();
}  // namespace

extern "C" {

bool TVENGINE_CALL _LoadDrvMgr(void) { return TheInstallManager().LoadDrvMgr(); }
bool TVENGINE_CALL _UnloadDrvMgr(void) { return TheInstallManager().UnloadDrvMgr(); }
bool TVENGINE_CALL _IsWindows2k(void) { return IsWindows2k(); }
bool TVENGINE_CALL _IsAdministrator(void) { return TheInstallManager().IsAdministrator(); }
bool TVENGINE_CALL _IsDeviceInstalled(tag_HardwareID* record) {
  return TheInstallManager().IsDeviceInstalled(record);
}
int TVENGINE_CALL _getAllDevicePresent(tag_HardwareID* table, int capacity) {
  return TheInstallManager().getAllDevicePresent(table, capacity);
}
bool TVENGINE_CALL _RemoveDevice(tag_HardwareID* record) { return TheInstallManager().RemoveDevice(record); }
bool TVENGINE_CALL _UninstallByID(tag_HardwareID* record) { return TheInstallManager().UninstallByID(record); }
bool TVENGINE_CALL _DelEnumRegKey(tag_HardwareID* record) { return TheInstallManager().DelEnumRegKey(record); }
bool TVENGINE_CALL _DelDriverRegKey(tag_HardwareID* record) { return TheInstallManager().DelDriverRegKey(record); }
bool TVENGINE_CALL _DelServiceRegKey(const char* service) { return TheInstallManager().DelServiceRegKey(service); }
bool TVENGINE_CALL _InstallINF(tag_HardwareID* record, const char* infPath) {
  return TheInstallManager().InstallINF(record, infPath);
}
bool TVENGINE_CALL _InstallDevice(HWND parent, tag_HardwareID* record, const char* infPath, DWORD* reboot) {
  return TheInstallManager().InstallDevice(parent, record, infPath, reboot);
}
bool TVENGINE_CALL _RefreshDevice(void) { return TheInstallManager().RefreshDevice(); }
bool TVENGINE_CALL _DelInfFile(tag_HardwareID* table, int count) {
  return TheInstallManager().DelInfFile(table, count);
}
bool TVENGINE_CALL _disableInfFileCopyFilesSection(tag_HardwareID* table, int count) {
  return TheInstallManager().disableInfFileCopyFilesSection(table, count);
}
bool TVENGINE_CALL _disableInfFileCopyFilesSectionByString(const char* text) {
  return TheInstallManager().disableInfFileCopyFilesSectionByString(text);
}
bool TVENGINE_CALL _deleteInfFile__ByString(const char* text) {
  return TheInstallManager().deleteInfFile__ByString(text);
}
bool TVENGINE_CALL _removeRegClassGuidDataBase(const char* classGuid, int vendor, int device) {
  return TheInstallManager().removeRegClassGuidDataBase(classGuid, vendor, device);
}
bool TVENGINE_CALL _removeRegClassGuidDataBaseByDriverName(const char* classGuid, const char* driverName) {
  return TheInstallManager().removeRegClassGuidDataBaseByDriverName(classGuid, driverName);
}
bool TVENGINE_CALL _removeRegDeviceClass(const char* interfaceGuid, int vendor, int device) {
  return TheInstallManager().removeRegDeviceClass(interfaceGuid, vendor, device);
}

}  // extern "C"
