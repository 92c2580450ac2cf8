// One product of the install configuration: its driver folders per Windows version, its INF files, its media player
// requirements, its enable value and OEM name, and the settings of its application, read from the product's two
// sections of the install INI file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "installTools/engine/hardwareId.h"
#include "installTools/installer/config/iniText.h"
#include "installTools/installer/config/myDebug.h"
#include "installTools/installer/config/perInfFile.h"
#include "installTools/installer/config/regData.h"

class Install_IniFile;

// The product application's settings (the product's own section of the INI file), 24 texts.
class DvDEncoderString : public IniTextRecord {
 public:
  DvDEncoderString();
};

class Install_IniSection {
 public:
  static constexpr int kInfFiles = 6;
  static constexpr const char* kRecordKey = "Software\\Taviron\\RX410\\1.00.000";
  static constexpr const char* kSourceName = "installTools/installIniSection";

  // Builds the product's section and reads its two sections of the INI file at iniPath; productFolder is the
  // folder the driver folders are relative to (the installer's own folder, ending in "\").
  Install_IniSection(Install_IniFile& owner, const std::string& iniPath, int32_t productId,
                     const std::string& productFolder);
  // Stores the enable value and the OEM name under HKEY_LOCAL_MACHINE\Software\Taviron\RX410\1.00.000.
  virtual ~Install_IniSection();
  Install_IniSection(const Install_IniSection&) = delete;
  Install_IniSection& operator=(const Install_IniSection&) = delete;

  int32_t productId() const { return productId_; }
  std::string productName() const { return productName_; }
  std::string driverSectionName() const { return driverSectionName_; }

  std::string oemProductName() { return oemName_.value(); }
  void setOemProductName(const std::string& text) { oemName_.setValue(text); }
  bool isEnabled() { return enable_.value() != 0; }
  int32_t enableType() { return enable_.value(); }
  void setEnableType(int32_t value) { enable_.setValue(value); }
  bool isSelected() const { return selected_; }
  void setSelected(bool selected) { selected_ = selected; }
  void* radioButton() const { return radioButton_; }
  void setRadioButton(void* control) { radioButton_ = control; }
  int32_t orderKey() const { return orderKey_; }
  void setOrderKey(int32_t key) { orderKey_ = key; }

  // By OS version code: 2000 the Windows 2000 folder, 20005 XP, 982000 Me, any other the 98 folder; -1 is the
  // running system.
  std::string driverPath(int32_t osCode = -1) const;
  void setDriverPath(int32_t osCode, const std::string& path);
  // 20005 selects the XP value, any other code the other one; -1 is the running system.
  std::string mediaPlayerSetupName(int32_t osCode = -1) const;
  void setMediaPlayerSetupName(int32_t osCode, const std::string& name);
  int32_t neededMediaPlayerVersion(int32_t osCode = -1) const;
  int32_t showRestartPc() const { return showRestartPc_; }
  void setShowRestartPc(int32_t value) { showRestartPc_ = value; }

  std::string connectHardwareMessage();
  std::string disconnectHardwareMessage();
  std::string osNeededMessage() const;

  // Hardware IDs over the loaded INF files, laid end to end in list order.
  int hardwareIdCount() const;
  const tag_HardwareID* hardwareIdAt(int index) const;
  bool firstInfLoaded() const;

  // Whether the present device belongs to this product; every INF file that matches remembers the device.
  virtual bool matchHardware(const tag_HardwareID& record);
  void clearMatches();
  bool hasMatchedHardware() const;

  // -1: the current INF file (INF file 0 becomes current when none is); 0 to 5: makes that one current.
  PerInfFile* infFile(int index);
  // The current INF file, else INF file 0, else a placeholder kept for the program's life.
  PerInfFile& currentInfFile();
  int infFileCount() const { return static_cast<int>(infFiles_.size()); }

  std::string vidPidListText() const;
  DvDEncoderString& appSettings() { return appSettings_; }

  void readDriverSection(const std::string& iniPath);
  void readAppSection(const std::string& iniPath);
  void writeDriverSection(const std::string& iniPath);
  void writeAppSection(const std::string& iniPath);

 protected:
  PerInfFile& infAt(int index) { return *infFiles_[index]; }

 private:
  static std::string substituteDevice(std::string text, const std::string& oemName);

  std::array<std::unique_ptr<PerInfFile>, kInfFiles> infFiles_;
  StringRegData oemName_;
  PerInfFile* current_ = nullptr;
  std::string driverSectionName_;
  int32_t productId_;
  DvDEncoderString appSettings_;
  std::string driverXp_ = "Driver", driver2000_ = "Driver", driverMe_ = "Driver", driver98_ = "Driver";
  std::string mediaPlayerXp_, mediaPlayerOther_;
  int32_t showRestartPc_ = 1;
  int32_t neededPlayerXp_ = 900, neededPlayerOther_ = 900;
  IntRegData enable_;
  bool selected_ = false;
  void* radioButton_ = nullptr;
  int32_t orderKey_ = 0;
  std::string productName_;
  MyDebug debug_;
  MyDebug debugDetail_;
  Install_IniFile& owner_;
};

// The USB products whose video and audio are separate interfaces (RX130, VL620): on XP only the first interface
// ("MI_0") is matched, against INF files 0 and 1, and some vendor/product pairs carry their own OEM name.
class Install_IniSection_RX130 : public Install_IniSection {
 public:
  using Install_IniSection::Install_IniSection;
  bool matchHardware(const tag_HardwareID& record) override;
};
