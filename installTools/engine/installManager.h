// The install engine's one object: it chooses the operating-system family, loads the table of system
// functions, owns the per-family objects, and carries out every export of the engine library.
#pragma once

#include <cstdint>

#include "installTools/engine/hardwareId.h"
#include "installTools/engine/osInstall.h"
#include "installTools/engine/systemFunctions.h"

class FileTools;
class RegKeyTools;
class SecurityTools;

// Whether the system is Windows 2000 or XP: GetVersionExA (plain record) reports a platform other than the
// Windows 9x family with major version 5. Asked afresh on each call.
bool IsWindows2k();

class InstallManager {
 public:
  // Reads the NT5 flag and the OS version code. `libraries` names the system libraries the loader takes.
  explicit InstallManager(const SystemLibraryNames& libraries = {});
  // An instance made by a test releases what it holds; the engine's own instance is never destroyed.
  ~InstallManager();
  InstallManager(const InstallManager&) = delete;
  InstallManager& operator=(const InstallManager&) = delete;

  // Creates the loader and loads the function table; on success creates the security tools (NT5 only), the
  // file tools, the install object and the registry tools. A second call first releases what the first made.
  bool LoadDrvMgr();
  // Destroys the objects in reverse order and unloads the table. Always true.
  bool UnloadDrvMgr();

  bool IsAdministrator();
  bool IsDeviceInstalled(const tag_HardwareID* record);
  int getAllDevicePresent(tag_HardwareID* table, int capacity);
  bool RemoveDevice(const tag_HardwareID* record);
  // The device's removal (when it is installed) and its registry cleanup in one step: false, with no key
  // touched, when an installed device cannot be removed.
  bool UninstallByID(const tag_HardwareID* record);
  bool DelEnumRegKey(const tag_HardwareID* record);
  bool DelDriverRegKey(const tag_HardwareID* record);
  bool DelServiceRegKey(const char* service);
  bool InstallINF(const tag_HardwareID* record, const char* infPath);
  bool InstallDevice(HWND parent, const tag_HardwareID* record, const char* infPath, DWORD* reboot);
  bool RefreshDevice();
  bool DelInfFile(const tag_HardwareID* table, int count);
  bool disableInfFileCopyFilesSection(const tag_HardwareID* table, int count);
  bool disableInfFileCopyFilesSectionByString(const char* text);
  bool deleteInfFile__ByString(const char* text);
  bool removeRegClassGuidDataBase(const char* classGuid, int vendor, int device);
  bool removeRegClassGuidDataBaseByDriverName(const char* classGuid, const char* driverName);
  bool removeRegDeviceClass(const char* interfaceGuid, int vendor, int device);

  // The state, for callers that report it and for tests.
  IOs_Install* install() const { return m_pInstall; }
  FileTools* fileTools() const { return m_pFileTools; }
  uint8_t nt5() const { return m_bNT5; }
  int32_t osVersionCode() const { return OsVersionCode; }
  RegKeyTools* regKeyTools() const { return m_pRegKeyTools; }
  SecurityTools* securityTools() const { return m_pSecurityTools; }
  IOs_SetupApi* setupApi() const { return m_pSetupApi; }

 private:
  IOs_Install* m_pInstall = nullptr;
  FileTools* m_pFileTools = nullptr;
  uint8_t m_bNT5 = 1;
  int32_t OsVersionCode = 0;
  RegKeyTools* m_pRegKeyTools = nullptr;
  SecurityTools* m_pSecurityTools = nullptr;
  IOs_SetupApi* m_pSetupApi = nullptr;
  SystemLibraryNames m_libraries;
};

// The engine library's instance, behind its exports: made on first use (at library load), never destroyed.
InstallManager& TheInstallManager();
