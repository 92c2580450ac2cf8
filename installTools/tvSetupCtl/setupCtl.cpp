#include "installTools/tvSetupCtl/setupCtl.h"

#include <cstring>

#include "installTools/engine/hardwareId.h"
#include "installTools/engine/tvSetupEngine.h"
#include "platform/seam/winapi.h"

#ifndef _WIN32
#include "platform/sim/machine.h"
#endif

namespace {

constexpr int kTableCapacity = 256;

const char kUsage[] =
    "usage: tvSetupCtl [--machine DIR] present | installed HWID | install HWID INF | remove HWID | "
    "uninstall HWID | delinf HWID... | refresh | isadmin";

bool toRecord(const std::string& text, tag_HardwareID& record, std::string& err) {
  record = tag_HardwareID{};
  record.nBusType = HWID_TEXT;
  if (text.empty() || text.size() > kHardwareIdTextMax) {
    err = "not a hardware ID (1 to 127 characters): " + text;
    return false;
  }
  std::memcpy(record.szHardwareID, text.c_str(), text.size() + 1);
  if (!NormalizeHardwareID(record)) {
    err = "not a PCI, USB or STREAM hardware ID: " + text;
    return false;
  }
  return true;
}

// Whether the engine lists a present device that is the record's device.
bool isPresent(const tag_HardwareID& record) {
  static tag_HardwareID table[kTableCapacity];
  int count = _getAllDevicePresent(table, kTableCapacity);
  for (int i = 0; i < count; ++i) {
    // Compared by the whole text, so that a subsystem in the argument counts.
    tag_HardwareID candidate{};
    candidate.nBusType = HWID_TEXT;
    std::memcpy(candidate.szHardwareID, table[i].szHardwareID, sizeof candidate.szHardwareID);
    if (HardwareIDsEqual(record, candidate)) return true;
  }
  return false;
}

std::string fullPath(const std::string& path) {
  char full[MAX_PATH];
  DWORD n = win::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return n > 0 && n < sizeof full ? std::string(full, n) : path;
}

int run(const std::vector<std::string>& args, std::string& out, std::string& err) {
  const std::string& command = args[0];
  const size_t n = args.size();
  auto wrongCount = [&](size_t wanted) {
    if (n == wanted) return false;
    err = command + ": wrong number of arguments; " + kUsage;
    return true;
  };
  tag_HardwareID record{};
  if (command == "present") {
    if (wrongCount(1)) return kCtlFailed;
    static tag_HardwareID table[kTableCapacity];
    int count = _getAllDevicePresent(table, kTableCapacity);
    for (int i = 0; i < count; ++i) out += std::string(table[i].szHardwareID) + "\n";
    return kCtlDone;
  }
  if (command == "installed") {
    if (wrongCount(2) || !toRecord(args[1], record, err)) return kCtlFailed;
    if (_IsDeviceInstalled(&record)) return kCtlDone;
    err = "no installed device matches " + args[1];
    return kCtlNoDevice;
  }
  if (command == "install") {
    if (wrongCount(3) || !toRecord(args[1], record, err)) return kCtlFailed;
    bool present = isPresent(record);
    DWORD reboot = 0;
    if (!_InstallDevice(nullptr, &record, fullPath(args[2]).c_str(), &reboot)) {
      err = "install failed (system error " + std::to_string(win::GetLastError()) + ")";
      return kCtlFailed;
    }
    if (!present) {
      err = "no device matches " + args[1] + ": the INF was placed in the store for a later plug-in";
      return kCtlNoDevice;
    }
    return reboot ? kCtlRestartNeeded : kCtlDone;
  }
  if (command == "remove") {
    if (wrongCount(2) || !toRecord(args[1], record, err)) return kCtlFailed;
    if (!isPresent(record)) {
      err = "no present device matches " + args[1];
      return kCtlNoDevice;
    }
    if (_RemoveDevice(&record)) return kCtlDone;
    err = "no matching device could be removed";
    return kCtlFailed;
  }
  if (command == "uninstall") {
    if (wrongCount(2) || !toRecord(args[1], record, err)) return kCtlFailed;
    if (_UninstallByID(&record)) return kCtlDone;
    err = "the installed device could not be removed; its keys were left in place";
    return kCtlFailed;
  }
  if (command == "delinf") {
    if (n < 2) {
      err = "delinf: at least one hardware ID; " + std::string(kUsage);
      return kCtlFailed;
    }
    std::vector<tag_HardwareID> table(n - 1);
    for (size_t i = 1; i < n; ++i) {
      if (!toRecord(args[i], table[i - 1], err)) return kCtlFailed;
    }
    _DelInfFile(table.data(), static_cast<int>(table.size()));
    return kCtlDone;
  }
  if (command == "refresh") {
    if (wrongCount(1)) return kCtlFailed;
    if (_RefreshDevice()) return kCtlDone;
    err = "the device tree could not be re-enumerated";
    return kCtlFailed;
  }
  if (command == "isadmin") {
    if (wrongCount(1)) return kCtlFailed;
    if (_IsAdministrator()) return kCtlDone;
    err = "not a member of the Administrators group";
    return kCtlFailed;
  }
  err = "unknown command " + command + "; " + kUsage;
  return kCtlFailed;
}

}  // namespace

int RunSetupCtl(const std::vector<std::string>& args, std::string& out, std::string& err) {
  if (args.empty()) {
    err = kUsage;
    return kCtlFailed;
  }
  if (!_LoadDrvMgr()) {
    _UnloadDrvMgr();
    err = "the install engine could not load the system's device-installation functions";
    return kCtlFailed;
  }
  int code = run(args, out, err);
  _UnloadDrvMgr();
  return code;
}

int SetupCtlMain(const std::vector<std::string>& args, std::string& out, std::string& err) {
  std::vector<std::string> rest = args;
  std::string machineDir;
  if (!rest.empty() && rest[0] == "--machine") {
    if (rest.size() < 2) {
      err = "--machine needs a folder";
      return kCtlFailed;
    }
    machineDir = rest[1];
    rest.erase(rest.begin(), rest.begin() + 2);
  }
#ifdef _WIN32
  if (!machineDir.empty()) {
    err = "--machine is for the simulated machine of the host build";
    return kCtlFailed;
  }
  return RunSetupCtl(rest, out, err);
#else
  if (machineDir.empty()) return RunSetupCtl(rest, out, err);
  sim::Machine machine;
  std::string problem;
  if (!sim::Machine::load(machineDir, machine, problem)) {
    err = problem;
    return kCtlFailed;
  }
  sim::MachineScope scope(machine);
  int code = RunSetupCtl(rest, out, err);
  if (!machine.save(machineDir, problem)) {
    err = "cannot save the machine: " + problem;
    return kCtlFailed;
  }
  return code;
#endif
}
