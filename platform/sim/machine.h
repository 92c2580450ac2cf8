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

// One device node of the machine as the device-installation functions report it.
struct Device {
  std::string instanceId;                // "PCI\VEN_1234&DEV_5678&SUBSYS_...\3&61AAA01&0&48"
  std::vector<std::string> hardwareIds;  // the hardware-ID list, best match first
  bool present = true;
};

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
  Machine();  // the default machine: Windows XP SP2, locale 0409, no devices, an empty drive C: with its Windows folder

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
