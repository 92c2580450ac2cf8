// The installer's way into the install engine. The engine keeps its state in globals and has no locks, while the
// installer calls it from the GUI thread (hardware rescans) and from a worker thread (the sequences): every call
// goes through Engine, which holds one lock around it.
#pragma once

#include "installTools/engine/tvSetupEngine.h"

// The engine's exports as a table, so that a test can put a recording engine in place of the library.
struct EngineTable {
  bool (*LoadDrvMgr)();
  bool (*UnloadDrvMgr)();
  bool (*IsDeviceInstalled)(tag_HardwareID*);
  int (*getAllDevicePresent)(tag_HardwareID*, int);
  bool (*UninstallByID)(tag_HardwareID*);
  bool (*DelServiceRegKey)(const char*);
  bool (*InstallDevice)(HWND, tag_HardwareID*, const char*, DWORD*);
  bool (*RefreshDevice)();
  bool (*DelInfFile)(tag_HardwareID*, int);
};

namespace Engine {

// The library's own exports.
const EngineTable& library();
// The table in use (the library unless a test has put another in place); returns the previous one.
const EngineTable* use(const EngineTable* table);

bool LoadDrvMgr();
bool UnloadDrvMgr();
bool IsDeviceInstalled(const tag_HardwareID& record);
int getAllDevicePresent(tag_HardwareID* table, int capacity);
bool UninstallByID(const tag_HardwareID& record);
bool DelServiceRegKey(const char* service);
bool InstallDevice(HWND parent, const tag_HardwareID& record, const char* infPath, DWORD* reboot);
bool RefreshDevice();
bool DelInfFile(const tag_HardwareID* table, int count);

// Whether the calling thread is inside a call made through Engine, holding the engine lock.
bool insideLockedCall();

}  // namespace Engine
