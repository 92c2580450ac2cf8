// The install configuration: the INI file beside the installer, chosen by the user's locale, with the window
// texts, the application-wide settings and one section per product, ordered into the list shown to the user.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "installTools/installIniSection/installIniSection.h"
#include "installTools/installer/config/iniText.h"
#include "platform/seam/winapi.h"

// The products the installer knows, in the order of the list of all sections.
struct ProductRow {
  const char* name;
  int32_t id;
  bool rx130Class;    // built as Install_IniSection_RX130
  int fallbackPlace;  // 1-5: place in the list used when no product is enabled; 0: not in it
};
extern const ProductRow kProductTable[23];

// The product name of an ID ("Error" for an unknown one). Also knows three IDs that have no section.
std::string productNameOf(int32_t productId);

// The window texts ("InstallData").
class DrvInstallString : public IniTextRecord {
 public:
  DrvInstallString();
};
// Setup and shortcut names and application switches ("__Info").
class InstallShieldShortCut : public IniTextRecord {
 public:
  InstallShieldShortCut();
};
// Application-wide settings ("__Info").
class AppSettingString : public IniTextRecord {
 public:
  AppSettingString();
};

class Install_IniFile {
 public:
  // The installer's own folder, ending in "\": where the INI files and the driver folders lie. It is the
  // program's folder unless a tool has named another one.
  static std::string programFolder();
  static void setProgramFolder(const std::string& folder);

  // The INI file name for a locale (the whole LCID counts, language and sublanguage).
  static const char* iniFileNameFor(LCID lcid);
  // The file the installer reads on this machine: the locale's file, or "drvInstall.ini" when that is missing.
  static std::string chooseIniFile();

  // Loads the whole configuration. When the INI file is missing it shows "Can't find Ini file" and ends the
  // process with exit code 2. firstArgument is the installer's first command-line argument ("1000" adds the
  // Dummy product).
  explicit Install_IniFile(const std::string& firstArgument = "");
  ~Install_IniFile();
  Install_IniFile(const Install_IniFile&) = delete;
  Install_IniFile& operator=(const Install_IniFile&) = delete;

  static constexpr int kMissingIniExitCode = 2;

  const std::vector<Install_IniSection*>& activeSections() const { return active_; }
  const std::vector<Install_IniSection*>& allSections() const { return all_; }
  Install_IniSection* currentSection() const { return current_; }
  void selectProduct(int32_t productId);
  // The section of a product ID among all sections, or null.
  Install_IniSection* sectionOf(int32_t productId) const;

  DrvInstallString& drvInstallString() { return drvInstallString_; }
  InstallShieldShortCut& installShieldShortCut() { return shortCut_; }
  AppSettingString& appSettingString() { return appSettings_; }

  bool isAutoInstall() const { return autoInstall_ != 0; }
  void setAutoInstall() { autoInstall_ = 1; }
  bool isAutoUninstall() const { return autoUninstall_ != 0; }
  void setAutoUninstall() { autoUninstall_ = 1; }

  const std::string& iniPath() const { return iniPath_; }
  void writeGlobalSections(const std::string& iniPath) const;

 private:
  std::vector<std::unique_ptr<Install_IniSection>> sections_;  // one per product, in table order
  std::vector<Install_IniSection*> active_;
  std::vector<Install_IniSection*> all_;
  Install_IniSection* current_ = nullptr;
  std::string iniPath_;
  int autoInstall_ = 0;
  int autoUninstall_ = 0;
  InstallShieldShortCut shortCut_;
  DrvInstallString drvInstallString_;
  AppSettingString appSettings_;
};
