#include "installTools/installer/testing/fakeEngine.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/ui/ui.h"

namespace {

FakeEngine* g_instance = nullptr;
std::mutex g_lock;

void log(const std::string& line) {
  FakeEngine* e = g_instance;
  std::lock_guard guard(g_lock);
  if (!Engine::insideLockedCall()) ++e->unlockedCalls;
  e->calls.push_back(line);
}

std::string text(const tag_HardwareID* r) { return r ? r->szHardwareID : "(null)"; }

const EngineTable kFakeTable{
    [] {
      log("LoadDrvMgr");
      ++g_instance->loaded;
      return g_instance->loadResult;
    },
    [] {
      log("UnloadDrvMgr");
      --g_instance->loaded;
      return true;
    },
    [](tag_HardwareID* r) {
      log("IsDeviceInstalled " + text(r));
      return g_instance->stillInstalled.count(text(r)) > 0;
    },
    [](tag_HardwareID* table, int capacity) {
      log("getAllDevicePresent " + std::to_string(capacity));
      int n = std::min<int>(capacity, static_cast<int>(g_instance->present.size()));
      for (int i = 0; i < n; ++i) table[i] = g_instance->present[i];
      return n;
    },
    [](tag_HardwareID* r) {
      log("UninstallByID " + text(r));
      return true;
    },
    [](const char* service) {
      log(std::string("DelServiceRegKey ") + service);
      return true;
    },
    [](HWND, tag_HardwareID* r, const char* inf, DWORD* reboot) {
      log("InstallDevice " + text(r) + "|" + (inf ? inf : "(null)"));
      g_instance->installTimes.push_back(ui::now());
      if (g_instance->rebootOnInstall && reboot) *reboot = g_instance->rebootOnInstall;
      return g_instance->installResult;
    },
    [] {
      log("RefreshDevice");
      return true;
    },
    [](tag_HardwareID* table, int count) {
      std::string line = "DelInfFile";
      for (int i = 0; i < count; ++i) line += " " + text(&table[i]);
      log(line + "|" + std::to_string(count));
      return true;
    },
};

}  // namespace

FakeEngine::FakeEngine() {
  g_instance = this;
  previous_ = Engine::use(&kFakeTable);
}

FakeEngine::~FakeEngine() {
  Engine::use(previous_);
  g_instance = nullptr;
}

FakeEngine* FakeEngine::instance() { return g_instance; }

void FakeEngine::plug(const std::string& hardwareId) {
  tag_HardwareID record{};
  ParseHardwareIDText(hardwareId.c_str(), record);
  std::lock_guard guard(g_lock);
  present.push_back(record);
}

void FakeEngine::unplug(const std::string& hardwareId) {
  std::lock_guard guard(g_lock);
  std::erase_if(present, [&](const tag_HardwareID& r) { return hardwareId == r.szHardwareID; });
}

std::vector<std::string> FakeEngine::callsOf(const std::string& prefix) const {
  std::lock_guard guard(g_lock);
  std::vector<std::string> result;
  for (const std::string& line : calls)
    if (line.rfind(prefix, 0) == 0) result.push_back(line);
  return result;
}
