#include "installTools/engine/installManager.h"

#include "installTools/file_Tools/fileTools.h"
#include "installTools/regKey_Tools/regKeyTools.h"
#include "installTools/securityTools/engineAssert.h"
#include "installTools/securityTools/securityTools.h"

bool IsWindows2k() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!win::GetVersionExA(&info)) return false;
  return info.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS && info.dwMajorVersion == 5;
}

InstallManager::InstallManager(const SystemLibraryNames& libraries) : m_libraries(libraries) {
  OsVersionCode = GetOsVersionCode();
  m_bNT5 = IsWindows2k() ? 1 : 0;
}

InstallManager::~InstallManager() { UnloadDrvMgr(); }

bool InstallManager::LoadDrvMgr() {
  UnloadDrvMgr();
  if (m_bNT5) {
    m_pSetupApi = new Os2K_SetupApi(m_libraries);
  } else {
    m_pSetupApi = new Os98_SetupApi(m_libraries);
  }
  if (!m_pSetupApi->Load()) return false;
  if (m_bNT5) m_pSecurityTools = new SecurityTools(1);
  m_pFileTools = new FileTools(m_pSecurityTools, m_bNT5 != 0);
  if (m_bNT5) {
    m_pInstall = new Os2K_Install(m_pFileTools, OsVersionCode);
  } else {
    m_pInstall = new Os98_Install(m_pFileTools);
  }
  m_pRegKeyTools = new RegKeyTools(m_pSecurityTools, m_bNT5 != 0);
  return true;
}

bool InstallManager::UnloadDrvMgr() {
  delete m_pRegKeyTools;
  m_pRegKeyTools = nullptr;
  delete m_pInstall;
  m_pInstall = nullptr;
  delete m_pFileTools;
  m_pFileTools = nullptr;
  delete m_pSecurityTools;
  m_pSecurityTools = nullptr;
  if (m_pSetupApi) m_pSetupApi->Unload();
  delete m_pSetupApi;
  m_pSetupApi = nullptr;
  return true;
}

bool InstallManager::IsAdministrator() { return m_pSecurityTools ? m_pSecurityTools->IsAdministrator() : true; }

bool InstallManager::IsDeviceInstalled(const tag_HardwareID* record) {
  return m_pInstall && record && m_pInstall->IsDeviceInstalled(*record);
}

int InstallManager::getAllDevicePresent(tag_HardwareID* table, int capacity) {
  if (!m_pInstall || !table || capacity <= 0) return 0;
  return m_pInstall->getAllDevicePresent(table, capacity);
}

bool InstallManager::RemoveDevice(const tag_HardwareID* record) {
  return m_pInstall && record && m_pInstall->RemoveDevice(*record);
}

bool InstallManager::UninstallByID(const tag_HardwareID* record) {
  if (!m_pInstall || !record) return false;
  bool result = true;
  if (m_pInstall->IsDeviceInstalled(*record)) {
    result = m_pInstall->RemoveDevice(*record);
    if (!result) return false;
  }
  DelEnumRegKey(record);
  DelDriverRegKey(record);
  return result;
}

bool InstallManager::DelEnumRegKey(const tag_HardwareID* record) {
  return m_pRegKeyTools && record && m_pRegKeyTools->DelEnumRegKey(*record);
}
bool InstallManager::DelDriverRegKey(const tag_HardwareID* record) {
  return m_pRegKeyTools && record && m_pRegKeyTools->DelDriverRegKey(*record);
}
bool InstallManager::DelServiceRegKey(const char* service) {
  return m_pRegKeyTools && m_pRegKeyTools->DelServiceRegKey(service);
}
bool InstallManager::removeRegClassGuidDataBase(const char* classGuid, int vendor, int device) {
  return m_pRegKeyTools && m_pRegKeyTools->removeRegClassGuidDataBase(classGuid, vendor, device);
}
bool InstallManager::removeRegClassGuidDataBaseByDriverName(const char* classGuid, const char* driverName) {
  return m_pRegKeyTools && m_pRegKeyTools->removeRegClassGuidDataBaseByDriverName(classGuid, driverName);
}
bool InstallManager::removeRegDeviceClass(const char* interfaceGuid, int vendor, int device) {
  return m_pRegKeyTools && m_pRegKeyTools->removeRegDeviceClass(interfaceGuid, vendor, device);
}

bool InstallManager::InstallINF(const tag_HardwareID* record, const char* infPath) {
  return m_pInstall && record && infPath && m_pInstall->InstallINF(*record, infPath);
}

bool InstallManager::InstallDevice(HWND parent, const tag_HardwareID* record, const char* infPath, DWORD* reboot) {
  return m_pInstall && record && infPath && m_pInstall->InstallDevice(parent, *record, infPath, reboot);
}

bool InstallManager::RefreshDevice() { return m_pInstall && m_pInstall->RefreshDevice(); }

bool InstallManager::DelInfFile(const tag_HardwareID* table, int count) {
  return m_pInstall && m_pInstall->DelInfFile(table, count);
}

bool InstallManager::disableInfFileCopyFilesSection(const tag_HardwareID* table, int count) {
  return m_pInstall && m_pInstall->disableInfFileCopyFilesSection(table, count);
}

bool InstallManager::disableInfFileCopyFilesSectionByString(const char* text) {
  return m_pInstall && m_pInstall->disableInfFileCopyFilesSectionByString(text);
}

bool InstallManager::deleteInfFile__ByString(const char* text) {
  return m_pInstall && m_pInstall->deleteInfFile__ByString(text);
}

InstallManager& TheInstallManager() {
  static InstallManager& manager = *new InstallManager();
  return manager;
}
