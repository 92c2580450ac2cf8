#include "installTools/installer/config/installIniFile.h"

#include <algorithm>
#include <map>

const ProductRow kProductTable[23] = {
    {"TQ230", 230, false, 0},  {"TQ240", 240, false, 0},  {"TQ370", 370, false, 0},  {"RX520", 520, false, 0},
    {"RX530", 530, false, 0},  {"RX540", 540, false, 0},  {"RX550", 550, false, 3},  {"VL210", 211, false, 0},
    {"ZD210D", 212, false, 0}, {"VL540", 5401, false, 1}, {"RX130", 130, true, 4},   {"VL620", 621, true, 0},
    {"WTxxx", 850, false, 5},  {"WT55x", 551, false, 0},  {"HN210", 2101, false, 0}, {"HN620", 620, false, 0},
    {"RX410", 111, false, 0},  {"TQ790", 790, false, 0},  {"RC670", 670, false, 2},  {"HN685", 685, false, 0},
    {"HN310", 310, false, 0},  {"HN690", 690, false, 0},  {"Dummy", 1000, false, 0},
};

namespace {

struct NamedId {
  const char* name;
  int32_t id;
};
// Products known by name that have no section of their own.
constexpr NamedId kNamesWithoutSection[] = {{"RX410Pro", 112}, {"RX410_PCI", 222}, {"ZV_VGA", 855}};

constexpr IniField kDrvInstallFields[] = {
    {"MainFormCaption", "DVD Encoder Installer"},
    {"ProductBoxCaption", "Product Name"},
    {"IinstallButtonName", "Install"},
    {"UnIinstallButtonName", "Uninstall"},
    {"ExitButtonName", "Exit"},
    {"InstallCompleteMsg", "Install Complete"},
    {"RestartPcMsg", "Restart PC ?"},
    {"OKButton", "OK"},
    {"RestartButton", "OK"},
    {"CancelButton", "Cancel"},
    {"ConnectHardwareString", "Please plug %DEVICE% into USB port"},
    {"UnConnectHardwareString", "Remove old driver, please unplug %DEVICE% from USB port"},
    {"OsNeeded", "The Application need OS XP SP1 or above"},
};
constexpr size_t kDrvInstallOrder[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

constexpr IniField kShortCutFields[] = {
    {"ProductName", "Ravik"},
    {"SetupTitle", "Ravik"},
    {"CompanyName", "Tavi"},
    {"FMApFeatureName", "FM Application"},
    {"SimIrFeatureName", "IR Setting"},
    {"ApplicationFeatureName", "Ravik Application"},
    {"TestProgramFeatureName", "Test Program"},
    {"WDMFeatureName", "WDM Driver"},
    {"ShortCutFoldName", "Ravik"},
    {"ShortCutFM_RadioApName", "FM Radio"},
    {"ShortCutSimIR_ApName", "IR Setting"},
    {"ShortCutPlayerName", "Ravik Player"},
    {"ShortCutHelpName", "Help"},
    {"ShortCutTvSchedule", "Tv Schedule"},
    {"InstallDriver", "211"},
    {"InstallDvdEncoder", "1"},
    {"Install_FM_AP", "1"},
    {"Install_SimIR", "1"},
    {"xpRestart", "0"},
    {"2kRestart", "0"},
    {"98MeRestart", "0"},
    {"Ap0", "Ap0"},
    {"Ap1", "Ap1"},
    {"Ap2", "Ap2"},
    {"Ap3", "Ap3"},
    {"Ap4", "Ap4"},
    {"Ap5", "Ap5"},
    {"Ap6", "Ap6"},
    {"Ap0Title", "Application 0"},
    {"Ap1Title", "Application 1"},
    {"Ap2Title", "Application 2"},
    {"Ap3Title", "Application 3"},
    {"Ap4Title", "Application 4"},
    {"Ap5Title", "Application 5"},
    {"Ap6Title", "Application 6"},
};
// "ShortCutTvSchedule" is read and written just before "ShortCutPlayerName".
constexpr size_t kShortCutOrder[] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 13, 11, 12, 14, 15, 16, 17,
                                     18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34};

constexpr IniField kAppSettingFields[] = {
    {"EnableUiSelect", "1"},   {"ShowAdvButton", "1"},    {"AutoRecordFileName", "0"}, {"ActiveProduct", ""},
    {"Mpeg2VideoDecoder", ""}, {"Mpeg2AudioDecoder", ""}, {"Mpeg2Splitter", ""},
};
// "ActiveProduct" is never read, only written.
constexpr size_t kAppSettingReadOrder[] = {0, 1, 2, 4, 5, 6};
constexpr size_t kAppSettingWriteOrder[] = {0, 1, 2, 3, 4, 5, 6};

std::string& programFolderOverride() {
  static std::string folder;
  return folder;
}

}  // namespace

std::string productNameOf(int32_t productId) {
  for (const auto& row : kProductTable)
    if (row.id == productId) return row.name;
  for (const auto& named : kNamesWithoutSection)
    if (named.id == productId) return named.name;
  return "Error";
}

DrvInstallString::DrvInstallString() : IniTextRecord(kDrvInstallFields) {}
InstallShieldShortCut::InstallShieldShortCut() : IniTextRecord(kShortCutFields) {}
AppSettingString::AppSettingString() : IniTextRecord(kAppSettingFields) {}

std::string Install_IniFile::programFolder() {
  if (!programFolderOverride().empty()) return programFolderOverride();
  char path[MAX_PATH + 1] = {};
  DWORD n = win::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string module(path, n);
  auto at = module.find_last_of("\\/:");
  return at == std::string::npos ? std::string() : module.substr(0, at + 1);
}

void Install_IniFile::setProgramFolder(const std::string& folder) {
  std::string f = folder;
  if (!f.empty() && f.back() != '\\' && f.back() != '/') f += '\\';
  programFolderOverride() = f;
}

const char* Install_IniFile::iniFileNameFor(LCID lcid) {
  switch (lcid) {
    case 0x0404:
    case 0x0C04: return "drvInstall.cht";
    case 0x0804: return "drvInstall.chs";
    case 0x0411: return "drvInstall.jpn";
    case 0x040C:
    case 0x080C:
    case 0x0C0C:
    case 0x100C:
    case 0x140C:
    case 0x180C: return "drvInstall.FRA";
    case 0x0407:
    case 0x0807:
    case 0x0C07:
    case 0x1007:
    case 0x1407: return "drvInstall.DEU";
    case 0x0410:
    case 0x0810: return "drvInstall.ITA";
    case 0x0413:
    case 0x0813: return "drvInstall.NLD";
    default: break;
  }
  // Spanish: every sublanguage from 1 (0x040A) to 20 (0x500A).
  if ((lcid & 0x3FF) == 0x0A && (lcid >> 10) >= 1 && (lcid >> 10) <= 20 && lcid <= 0xFFFF) return "drvInstall.ENS";
  return "drvInstall.ini";
}

std::string Install_IniFile::chooseIniFile() {
  std::string folder = programFolder();
  std::string chosen = folder + iniFileNameFor(win::GetUserDefaultLCID());
  return fileExists(chosen) ? chosen : folder + "drvInstall.ini";
}

Install_IniFile::Install_IniFile(const std::string& firstArgument) {
  iniPath_ = chooseIniFile();
  if (!fileExists(iniPath_)) {
    win::MessageBoxA(nullptr, "Can't find Ini file", "Error",
                     MB_OK | MB_ICONEXCLAMATION | MB_SETFOREGROUND | MB_TOPMOST);
    win::ExitProcess(kMissingIniExitCode);
    return;
  }
  drvInstallString_.read(iniPath_, "InstallData", kDrvInstallOrder);
  shortCut_.read(iniPath_, "__Info", kShortCutOrder);
  appSettings_.read(iniPath_, "__Info", kAppSettingReadOrder);

  const std::string folder = programFolder();
  for (const auto& row : kProductTable) {
    if (row.rx130Class)
      sections_.push_back(std::make_unique<Install_IniSection_RX130>(*this, iniPath_, row.id, folder));
    else
      sections_.push_back(std::make_unique<Install_IniSection>(*this, iniPath_, row.id, folder));
    all_.push_back(sections_.back().get());
  }

  // Each section takes a distinct order key: a key already taken by an earlier section moves up by one.
  std::map<int32_t, Install_IniSection*> taken;
  for (Install_IniSection* section : all_) {
    int32_t key = section->orderKey();
    while (taken.count(key)) ++key;
    section->setOrderKey(key);
    taken[key] = section;
  }
  for (const auto& [key, section] : taken)
    if (section->isEnabled()) active_.push_back(section);

  if (active_.empty()) {
    for (int place = 1; place <= 5; ++place)
      for (size_t i = 0; i < std::size(kProductTable); ++i)
        if (kProductTable[i].fallbackPlace == place) active_.push_back(all_[i]);
  }
  if (firstArgument == "1000") active_.push_back(sectionOf(1000));
  selectProduct(active_.front()->productId());
}

Install_IniFile::~Install_IniFile() {
  // Sections end in table order, each storing its registry record before its INF files go.
  for (auto& section : sections_) section.reset();
}

void Install_IniFile::selectProduct(int32_t productId) {
  Install_IniSection* found = nullptr;
  for (Install_IniSection* section : active_)
    if (!found && section->productId() == productId) found = section;
  for (Install_IniSection* section : active_) section->setSelected(section == found);
  if (found) current_ = found;
}

Install_IniSection* Install_IniFile::sectionOf(int32_t productId) const {
  for (Install_IniSection* section : all_)
    if (section->productId() == productId) return section;
  return nullptr;
}

void Install_IniFile::writeGlobalSections(const std::string& path) const {
  drvInstallString_.write(path, "InstallData", kDrvInstallOrder);
  shortCut_.write(path, "__Info", kShortCutOrder);
  appSettings_.write(path, "__Info", kAppSettingWriteOrder);
}
