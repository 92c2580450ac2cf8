// The scratch place of a contract test: a folder for files and a registry key under HKEY_LOCAL_MACHINE, both
// made empty before each case and removed after it. On the host they live on a fresh simulated machine;
// in the Windows build (under Wine) they are real.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/seam/winapi.h"

#ifndef _WIN32
#include "platform/sim/machine.h"
#endif

class ContractTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Writes a file of the scratch folder through the seam and returns its full path.
  std::string writeFile(const std::string& name, const std::string& bytes);
  // Reads a whole file through the seam ("" when it cannot be read).
  std::string readFile(const std::string& path);
  // Full path of a name in the scratch folder.
  std::string path(const std::string& name) const { return folder_ + name; }

  // The scratch key, relative to HKEY_LOCAL_MACHINE ("Software\tvContractTest").
  const std::string& keyPath() const { return keyPath_; }
  // Deletes a key and all its subkeys through the seam.
  static void deleteTree(HKEY parent, const std::string& subkey);

  static bool onWine();

 private:
#ifndef _WIN32
  std::unique_ptr<sim::Machine> machine_;
  std::unique_ptr<sim::MachineScope> scope_;
#endif
  std::string folder_;
  std::string keyPath_ = "Software\\tvContractTest";
};
