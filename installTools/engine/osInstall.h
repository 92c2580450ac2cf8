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
#include "installTools/engine/systemFunctions.h"
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

  // The device operations walk the configuration manager's device tree from its root (child, then sibling,
  // then back up through the parents) and look at the first string of each node's hardware-ID list.
  // Whether a node's first hardware ID matches the record (MatchHardwareIDText).
  bool IsDeviceInstalled(const tag_HardwareID& record) override;
  // One entry per node whose first hardware ID (upper-cased) is a PCI or USB ID that parses.
  int getAllDevicePresent(tag_HardwareID* table, int capacity) override;
  // Collects the matching nodes first, then re-enumerates, removes and deletes the key of each; true when at
  // least one key deletion succeeded.
  bool RemoveDevice(const tag_HardwareID& record) override;
  // The hand install (InstallINF), then the device tree's root is located; the window and the reboot flag are
  // not used on this path.
  bool InstallDevice(HWND parent, const tag_HardwareID& record, const char* infPath, DWORD* reboot) override;
  // FileTools::InstallInfFiles, then the driver database files "Drvdata.bin" and "Drvidx.bin" of the INF folder
  // are deleted (a missing file counts as deleted); the result of the last deletion.
  bool InstallINF(const tag_HardwareID& record, const char* infPath) override;
  // Re-enumerates the device tree from its root.
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
  // Walks the device tree; `visit` gets each node and the first string of its hardware-ID list (nodes whose list
  // cannot be read are skipped) and returns false to stop. False when the walk cannot start (the root cannot
  // be located or a configuration-manager entry is missing).
  bool WalkDeviceTree(const std::function<bool(DEVINST node, const char* firstId)>& visit);

  // Runs `act` on the upper-cased path of every INF of both folder passes whose size is below `limit`.
  void ForEachInf(DWORD limit, const std::function<void(const std::string&)>& act);

  FileTools* m_pFileTools;
};

class Os2K_Install : public Os98_Install {
 public:
  Os2K_Install(FileTools* fileTools, int32_t osVersionCode)
      : Os98_Install(fileTools), m_osVersionCode(osVersionCode) {}

  // The present devices through the setup functions: every hardware-ID string of every device whose
  // ParseDeviceHardwareID gives a non-zero vendor and device becomes one entry. A device whose list cannot be
  // read is skipped.
  int getAllDevicePresent(tag_HardwareID* table, int capacity) override;
  // Removes every present device that has a string matching the record; true when at least one removal
  // succeeded.
  bool RemoveDevice(const tag_HardwareID& record) override;
  // UpdateDriverForPlugAndPlayDevicesA (forced) for a present matching device, with the device's own string on
  // Windows 2000 and the record's text elsewhere; without one, the INF goes into the INF store (InstallINF).
  bool InstallDevice(HWND parent, const tag_HardwareID& record, const char* infPath, DWORD* reboot) override;
  // SetupCopyOEMInfA into the system's INF store; the record is not used.
  bool InstallINF(const tag_HardwareID& record, const char* infPath) override;
  bool RefreshDevice() override;

  // The first matching hardware-ID string of the first present device that has one.
  bool FindPresentHardwareID(const tag_HardwareID& record, std::string& found);
  // Fills the bus type and the vendor and device of a record whose text is a device's hardware-ID string (a
  // trimmed, upper-cased copy is examined): USB (VID_, PID_), STREAM (VEN_, DEV_ only when it also holds PCI;
  // else no numbers), PCI (VEN_, DEV_). True when both numbers are non-zero.
  static bool ParseDeviceHardwareID(tag_HardwareID& record);

  int32_t osVersionCode() const { return m_osVersionCode; }

 private:
  enum class Next { String, Device, Stop };
  // Enumerates the present devices' hardware-ID strings; `visit` says where to go on. False when the device
  // list cannot be made.
  bool EnumeratePresentIds(const std::function<Next(HDEVINFO set, SP_DEVINFO_DATA& device, const char* id)>& visit);

  int32_t m_osVersionCode;
};
