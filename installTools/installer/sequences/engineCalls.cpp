#include "installTools/installer/sequences/engineCalls.h"

#include <atomic>
#include <vector>

#include "installTools/installer/shell/threadMutex.h"

namespace Engine {
namespace {

ThreadMutex& engineLock() {
  static ThreadMutex mutex;
  return mutex;
}

std::atomic<const EngineTable*>& current() {
  static std::atomic<const EngineTable*> table{&library()};
  return table;
}

// The engine takes non-constant records; it gets a copy, so the caller's record is never changed by it.
thread_local bool t_inside = false;

template <typename F>
auto locked(F&& call) {
  ThreadMutexGuard guard(engineLock());
  t_inside = true;
  auto result = call(*current().load());
  t_inside = false;
  return result;
}

}  // namespace

const EngineTable& library() {
  static const EngineTable table{_LoadDrvMgr,          _UnloadDrvMgr,  _IsDeviceInstalled,
                                 _getAllDevicePresent, _UninstallByID, _DelServiceRegKey,
                                 _InstallDevice,       _RefreshDevice, _DelInfFile};
  return table;
}

bool insideLockedCall() { return t_inside; }

const EngineTable* use(const EngineTable* table) { return current().exchange(table ? table : &library()); }

bool LoadDrvMgr() {
  return locked([](const EngineTable& e) { return e.LoadDrvMgr(); });
}
bool UnloadDrvMgr() {
  return locked([](const EngineTable& e) { return e.UnloadDrvMgr(); });
}
bool IsDeviceInstalled(const tag_HardwareID& record) {
  tag_HardwareID copy = record;
  return locked([&](const EngineTable& e) { return e.IsDeviceInstalled(&copy); });
}
int getAllDevicePresent(tag_HardwareID* table, int capacity) {
  return locked([&](const EngineTable& e) { return e.getAllDevicePresent(table, capacity); });
}
bool UninstallByID(const tag_HardwareID& record) {
  tag_HardwareID copy = record;
  return locked([&](const EngineTable& e) { return e.UninstallByID(&copy); });
}
bool DelServiceRegKey(const char* service) {
  return locked([&](const EngineTable& e) { return e.DelServiceRegKey(service); });
}
bool InstallDevice(HWND parent, const tag_HardwareID& record, const char* infPath, DWORD* reboot) {
  tag_HardwareID copy = record;
  return locked([&](const EngineTable& e) { return e.InstallDevice(parent, &copy, infPath, reboot); });
}
bool RefreshDevice() {
  return locked([](const EngineTable& e) { return e.RefreshDevice(); });
}
bool DelInfFile(const tag_HardwareID* table, int count) {
  std::vector<tag_HardwareID> copy(table, table + (count > 0 ? count : 0));
  return locked([&](const EngineTable& e) { return e.DelInfFile(copy.data(), count); });
}

}  // namespace Engine
