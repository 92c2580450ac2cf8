// The per-family implementations of the engine's device and INF-file operations.
//   Os98_Install: Windows 98/Me and every system that is not Windows 2000/XP.
//   Os2K_Install: Windows 2000 and XP; it overrides the device operations and inherits IsDeviceInstalled and
//   the four INF-file operations, which behave the same on both families.
// The INF-file operations scan the system's INF folders ("Inf\*.inf", then "Inf\Other\*.inf", each searched
// recursively, so files under "Inf\Other" are visited by both passes) and always return true: a file that
// cannot be handled is skipped.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "installTools/engine/hardwareId.h"
#include "platform/seam/winapi.h"

class FileTools;

class IOs_Install {
 public:
  virtual bool IsDeviceInstalled(const tag_HardwareID& record) = 0;
  virtual int getAllDevicePresent(tag_HardwareID* table, int capacity) = 0;
  virtual bool RemoveDevice(const tag_HardwareID& record) = 0;
  virtual bool InstallDevice(HWND parent, const tag_HardwareID& record, const char* infPath, DWORD* reboot) = 0;
  virtual bool InstallINF(const tag_HardwareID& record, const char* infPath) = 0;
  virtual bool RefreshDevice() = 0;
  virtual bool DelInfFile(const tag_HardwareID* table, int count) = 0;
  virtual bool disableInfFileCopyFilesSection(const tag_HardwareID* table, int count) = 0;
  virtual bool disableInfFileCopyFilesSectionByString(const char* text) = 0;
  virtual bool deleteInfFile__ByString(const char* text) = 0;
  virtual ~IOs_Install() = default;
};

class Os98_Install : public IOs_Install {
 public:
  explicit Os98_Install(FileTools* fileTools) : m_pFileTools(fileTools) {}

  // The device operations of this family are not built yet: they answer false (0 entries) without acting.
  bool IsDeviceInstalled(const tag_HardwareID& record) override;
  int getAllDevicePresent(tag_HardwareID* table, int capacity) override;
  bool RemoveDevice(const tag_HardwareID& record) override;
  bool InstallDevice(HWND parent, const tag_HardwareID& record, const char* infPath, DWORD* reboot) override;
  bool InstallINF(const tag_HardwareID& record, const char* infPath) override;
  bool RefreshDevice() override;

  // An INF smaller than 73728 bytes that serves one of the records is deleted with its precompiled companion.
  bool DelInfFile(const tag_HardwareID* table, int count) override;
  // An INF smaller than 131072 bytes that serves one of the records gets its CopyFiles lines commented out.
  bool disableInfFileCopyFilesSection(const tag_HardwareID* table, int count) override;
  // The same for INFs smaller than 131072 bytes that contain the text (ignoring case).
  bool disableInfFileCopyFilesSectionByString(const char* text) override;
  // INFs smaller than 131072 bytes that contain the text are deleted (their companions stay).
  bool deleteInfFile__ByString(const char* text) override;

  // The precompiled companion of an INF path: the file-name part's extension replaced by "pnf", the rest of
  // the path upper-cased ("C:\WINDOWS\INF\OEM3.pnf").
  static std::string CompanionOf(const std::string& infPath);

 protected:
  // Runs `act` on the upper-cased path of every INF of both folder passes whose size is below `limit`.
  void ForEachInf(DWORD limit, const std::function<void(const std::string&)>& act);

  FileTools* m_pFileTools;
};

class Os2K_Install : public Os98_Install {
 public:
  Os2K_Install(FileTools* fileTools, int32_t osVersionCode)
      : Os98_Install(fileTools), m_osVersionCode(osVersionCode) {}

  int getAllDevicePresent(tag_HardwareID* table, int capacity) override;
  bool RemoveDevice(const tag_HardwareID& record) override;
  bool InstallDevice(HWND parent, const tag_HardwareID& record, const char* infPath, DWORD* reboot) override;
  bool InstallINF(const tag_HardwareID& record, const char* infPath) override;
  bool RefreshDevice() override;

  int32_t osVersionCode() const { return m_osVersionCode; }

 private:
  int32_t m_osVersionCode;
};
