// The exported interface of the install engine library "tvSetupEngine.dll": 21 C functions, caller-cleans
// calling convention, under these names (the leading underscore is part of each name). Strings are 8-bit ANSI;
// a boolean result is one byte. Order of use: _LoadDrvMgr once, then the operations, then _UnloadDrvMgr once;
// _IsWindows2k at any time. Calls must not overlap.
#pragma once

#include "installTools/engine/hardwareId.h"
#include "platform/seam/winapi.h"

#ifdef _WIN32
#define TVENGINE_CALL __cdecl
#else
#define TVENGINE_CALL
#endif

extern "C" {
bool TVENGINE_CALL _LoadDrvMgr(void);
bool TVENGINE_CALL _UnloadDrvMgr(void);
bool TVENGINE_CALL _IsWindows2k(void);
bool TVENGINE_CALL _IsAdministrator(void);
bool TVENGINE_CALL _IsDeviceInstalled(tag_HardwareID* record);
int TVENGINE_CALL _getAllDevicePresent(tag_HardwareID* table, int capacity);
bool TVENGINE_CALL _RemoveDevice(tag_HardwareID* record);
bool TVENGINE_CALL _UninstallByID(tag_HardwareID* record);
bool TVENGINE_CALL _DelEnumRegKey(tag_HardwareID* record);
bool TVENGINE_CALL _DelDriverRegKey(tag_HardwareID* record);
bool TVENGINE_CALL _DelServiceRegKey(const char* service);
bool TVENGINE_CALL _InstallINF(tag_HardwareID* record, const char* infPath);
bool TVENGINE_CALL _InstallDevice(HWND parent, tag_HardwareID* record, const char* infPath, DWORD* reboot);
bool TVENGINE_CALL _RefreshDevice(void);
bool TVENGINE_CALL _DelInfFile(tag_HardwareID* table, int count);
bool TVENGINE_CALL _disableInfFileCopyFilesSection(tag_HardwareID* table, int count);
bool TVENGINE_CALL _disableInfFileCopyFilesSectionByString(const char* text);
bool TVENGINE_CALL _deleteInfFile__ByString(const char* text);
bool TVENGINE_CALL _removeRegClassGuidDataBase(const char* classGuid, int vendor, int device);
bool TVENGINE_CALL _removeRegClassGuidDataBaseByDriverName(const char* classGuid, const char* driverName);
bool TVENGINE_CALL _removeRegDeviceClass(const char* interfaceGuid, int vendor, int device);
}
