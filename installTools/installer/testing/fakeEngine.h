// A recording install engine for the installer's tests: it stands in for the engine library's exports, answers
// from its script (present devices, results) and logs every call as one line of text.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "installTools/engine/hardwareId.h"
#include "installTools/installer/sequences/engineCalls.h"

class FakeEngine {
 public:
  // Puts itself in place of the engine library; the library comes back when it goes.
  FakeEngine();
  ~FakeEngine();
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  // A present device by its hardware-ID text ("PCI\VEN_1C5D&DEV_5401&SUBSYS_...").
  void plug(const std::string& hardwareId);
  void unplug(const std::string& hardwareId);

  // The script.
  bool loadResult = true;
  bool installResult = true;
  DWORD rebootOnInstall = 0;             // set into the caller's flag by InstallDevice when not 0
  std::set<std::string> stillInstalled;  // hardware-ID texts IsDeviceInstalled answers true for
  std::vector<tag_HardwareID> present;

  // What happened: "Name arg|arg" lines, in order; the virtual time of each InstallDevice; calls that came
  // without the engine lock held.
  std::vector<std::string> calls;
  std::vector<uint64_t> installTimes;
  int unlockedCalls = 0;
  int loaded = 0;

  // The calls whose line begins with prefix.
  std::vector<std::string> callsOf(const std::string& prefix) const;

  static FakeEngine* instance();

 private:
  const EngineTable* previous_;
};
