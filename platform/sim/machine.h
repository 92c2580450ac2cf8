// The simulated machine: the state behind every host-side function of the seam (platform/seam/winapi.h).
// Tests build one in code; the host tools load one from a folder and save it back:
//   DIR/machine.ini   version record, locale, module path, present devices (docs/simulated-machine.md)
//   DIR/registry.reg  the registry, REGEDIT4 text (imports into Wine with `wine regedit FILE`)
//   DIR/drive_c/      the files of drive C:, the Windows folder being drive_c/windows
#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/seam/wintypes.h"
#include "platform/sim/files.h"
#include "platform/sim/registry.h"
#include "platform/sim/security.h"

namespace sim {

// The record GetVersionExA fills. The default is Windows XP with Service Pack 2.
struct VersionRecord {
  DWORD major = 5;
  DWORD minor = 1;
  DWORD build = 2600;
  DWORD platform = VER_PLATFORM_WIN32_NT;
  std::string csd = "Service Pack 2";
  WORD servicePackMajor = 2;
  WORD servicePackMinor = 0;
  // Windows 95 and NT 4 before SP6 refuse the extended record; a machine can be made to refuse either form.
  bool refusesExtended = false;
  bool refusesPlain = false;
};

// One device node of the machine as the configuration manager and the device-installation functions report it.
// The nodes form a tree under the root node "HTREE\ROOT\0"; a node's children are listed in the machine's
// order. A node that is not present (removed, or its card unplugged) keeps its registry keys but is not in the
// tree and not in the lists of present devices.
struct Device {
  Device() = default;
  Device(std::string id, std::vector<std::string> ids, bool isPresent = true)
      : instanceId(std::move(id)), hardwareIds(std::move(ids)), present(isPresent) {}

  std::string instanceId;                // "PCI\VEN_1234&DEV_5678&SUBSYS_...\3&61AAA01&0&48"
  std::vector<std::string> hardwareIds;  // the hardware-ID list, best match first
  bool present = true;
  std::string parent;  // the parent node's instance ID; "" for a child of the root node
  // The setup class, "{4D36E96C-E325-11CE-BFC1-08002BE10318}"; "" before a driver is installed.
  std::string classGuid;
  std::string driver;   // the driver key below the class root: "{guid}\0000" (NT) or "MEDIA\0000" (9x); "" none
  std::string service;  // the function driver's service, "" none
  // Injected failures, so that callers' failure paths can be run: reading the node's hardware IDs fails with
  // this error (ERROR_* for the setup functions; the configuration manager answers CR_REGISTRY_ERROR), and
  // removing the node is refused (vetoed).
  DWORD propertyError = 0;
  bool removalFails = false;
  // The driver cannot be swapped while the system runs: installing one asks for a restart.
  bool restartOnInstall = false;
};

// The configuration manager's root node.
inline constexpr const char* kRootDeviceId = "HTREE\\ROOT\\0";
inline constexpr DEVINST kRootDevInst = 1;

// One call of MessageBoxA, as the machine saw it and answered it.
struct MessageBoxCall {
  HWND owner;
  std::string text;
  std::string caption;
  UINT type;
  int answer;
};

// Message boxes appear on no screen: each is recorded and answered from a script of answers,
// or with the first button (IDOK, IDYES, IDABORT, IDRETRY) once the script is used up.
class MessageBoxes {
 public:
  void script(int answer) { answers_.push_back(answer); }
  const std::vector<MessageBoxCall>& calls() const { return calls_; }
  void clear() {
    calls_.clear();
    answers_.clear();
  }
  int show(HWND owner, const std::string& text, const std::string& caption, UINT type);

 private:
  std::deque<int> answers_;
  std::vector<MessageBoxCall> calls_;
};

// The system libraries a program loads by name (LoadLibraryA): the machine has "cfgmgr32", "advapi32",
// "setupapi" and "newdev" with the functions of WINLOADFN in platform/seam/winapi_functions.inc. A test can take
// a library or a single function away, as a system that lacks it would, and can see what is loaded.
class Libraries {
 public:
  // Names compare case-insensitively, without ".dll".
  void remove(const std::string& library) { missingLibraries_.insert(key(library)); }
  void removeFunction(const std::string& library, const std::string& function) {
    missingFunctions_.insert(key(library) + "!" + function);
  }
  bool has(const std::string& library) const { return !missingLibraries_.count(key(library)); }
  bool hasFunction(const std::string& library, const std::string& function) const {
    return !missingFunctions_.count(key(library) + "!" + function);
  }
  // What the machine lacks: library keys, and "library!function".
  const std::set<std::string>& missingLibraries() const { return missingLibraries_; }
  const std::set<std::string>& missingFunctions() const { return missingFunctions_; }
  // The load count of each library that is loaded now (LoadLibraryA minus FreeLibrary).
  const std::map<std::string, int>& loaded() const { return loaded_; }
  std::map<std::string, int>& loadCounts() { return loaded_; }

  // "Setupapi.DLL" -> "setupapi".
  static std::string key(const std::string& name);

 private:
  std::set<std::string> missingLibraries_;
  std::set<std::string> missingFunctions_;
  std::map<std::string, int> loaded_;
};

// ExitProcess on the simulated machine does not return: it throws this to the test or tool that ran the code.
struct ProcessExit {
  UINT exitCode;
};

class Machine {
 public:
  Machine();  // the default machine: Windows XP SP2, locale 0409, no devices, an empty drive C: with its Windows
              // folder

  VersionRecord version;
  LCID userLcid = 0x0409;
  LANGID systemLanguage = 0x0409;
  std::string modulePath = "C:\\Program Files\\tvSetup\\tvSetupTool.exe";  // GetModuleFileNameA(NULL)
  std::string windowsFolder = "C:\\windows";
  std::vector<Device> devices;

  Registry registry;
  FileSystem files;
  MessageBoxes boxes;
  Security security;
  Libraries libraries;
  int debugBreaks = 0;           // DebugBreak calls seen
  bool debuggerPresent = false;  // what IsDebuggerPresent answers

  std::string systemFolder() const { return windowsFolder + "\\system32"; }
  bool isWindows9x() const { return version.platform == VER_PLATFORM_WIN32_WINDOWS; }

  // Device nodes. Each node has one device-instance handle (DEVINST) for the life of the machine; the root
  // node's is kRootDevInst. The registry keys of a node: its enumeration key (enumRoot(), a backslash and the
  // instance ID, with the values HardwareID, ClassGUID, Class, Driver, Service) and its driver key.
  // NT: HKLM\SYSTEM\CurrentControlSet\Enum and ...\Control\Class; 9x: HKLM\Enum and ...\Services\Class.
  std::string enumRoot() const;
  std::string classRoot() const;
  std::string enumKeyPath(const Device& device) const;    // the node's enumeration key
  std::string driverKeyPath(const Device& device) const;  // the node's driver key, "" without a driver
  // Adds a node and writes its enumeration key.
  Device& addDevice(const Device& device);
  // Writes the node's enumeration key values from the record (creating the key).
  void writeEnumKey(const Device& device);
  Device* findDevice(const std::string& instanceId);  // by instance ID, ignoring case; null when unknown
  DEVINST devInst(const std::string& instanceId);     // the node's handle, made on first use
  Device* deviceAt(DEVINST devInst);                  // null for the root, an unknown handle or a forgotten node
  // Forgets a node entirely (its keys are the caller's business).
  void forgetDevice(const std::string& instanceId);
  // What the device functions did to the nodes, one line per change: "remove ID", "reenumerate ID",
  // "delete key ID", "install ID oem0.inf VL540.Install", "copy oem0.inf".
  std::vector<std::string> deviceLog;

  // Sets the version record, as the platform reports these systems.
  void setWindows98SE();
  void setWindowsMe();
  void setWindows2000(int servicePack);
  void setWindowsXP(int servicePack);

  // Loads DIR (machine.ini, registry.reg, drive_c/) into a default machine; false with a reason when a file
  // is malformed. A missing registry.reg or drive_c/ leaves that part as the default machine has it.
  static bool load(const std::string& dir, Machine& machine, std::string& error);
  // Writes the three parts into DIR, replacing what was there.
  bool save(const std::string& dir, std::string& error) const;

  // The machine's own lock: every function of the seam holds it while it touches the machine.
  std::recursive_mutex& lock() const { return mutex_; }

 private:
  mutable std::recursive_mutex mutex_;
  std::map<std::string, DEVINST> devInsts_;  // upper-cased instance ID -> handle
  DEVINST nextDevInst_ = kRootDevInst + 1;
};

// The machine the seam's functions act on. There is always one: a default machine until a test or tool
// installs its own with a MachineScope.
Machine& current();

class MachineScope {
 public:
  explicit MachineScope(Machine& machine);
  ~MachineScope();
  MachineScope(const MachineScope&) = delete;
  MachineScope& operator=(const MachineScope&) = delete;

 private:
  Machine* previous_;
};

}  // namespace sim
