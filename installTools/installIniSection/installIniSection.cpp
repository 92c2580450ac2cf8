#include "installTools/installIniSection/installIniSection.h"

#include "installTools/installer/config/installIniFile.h"
#include "platform/seam/winapi.h"

namespace {

constexpr IniField kDvdEncoderFields[] = {
    {"OemProductName", ""},
    {"UiNameList", "UI_KT_TYPE|Professional Type"},
    {"UiType", "UI_KT_TYPE"},
    {"UiCaption", ""},
    {"iEpgSite", "index.htm"},
    {"RecordPathMode", "RECORDPATH_DEFAULT"},
    {"bEnableType", "2"},
    {"AutoPlay", "0"},
    {"NtscVideoWinMask", "0"},
    {"PalVideoWinMask", "0"},
    {"RemoteType", "2"},
    {"UseTvFreqFile", "0"},
    {"IR_Function", "1"},
    {"SoftCodec", "0"},
    {"EnableTimeShift", "1"},
    {"TimeShiftOnOff_Default", "1"},
    {"ProductListOrder", "20"},
    {"VidPidList", "PCI|0, 0"},
    {"NorvaneRawDataUseDemux", "0"},
    {"RefClockSource", "8"},
    {"OEM_Company", "2"},
    {"BCSH_TUNER", "0"},
    {"BCSH_AV", "0"},
    {"BCSH_SVHS", "0"},
};
// Fields 1 to 7 and 17 are constants of the format (or the OEM name); the others are read from the file.
constexpr size_t kDvdEncoderReadFields[] = {7, 8, 9, 10, 11, 12, 13, 14, 15, 17, 18, 19, 20, 21, 22, 23};

constexpr const char* kEmptyInf = "EmptyInf";
constexpr const char* kEmptyInfFile = "_empty_.inf";

std::string trimBlanks(const std::string& text) {
  auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string fileNamePart(const std::string& path) {
  auto at = path.find_last_of("\\/:");
  return at == std::string::npos ? path : path.substr(at + 1);
}

int32_t runningSystem(int32_t osCode) { return osCode == -1 ? GetOsVersionCode() : osCode; }

}  // namespace

DvDEncoderString::DvDEncoderString() : IniTextRecord(kDvdEncoderFields) {}

Install_IniSection::Install_IniSection(Install_IniFile& owner, const std::string& iniPath, int32_t productId,
                                       const std::string& productFolder)
    : oemName_((productNameOf(productId) + "_OemName").c_str(), productNameOf(productId), kStringMarker),
      driverSectionName_(productNameOf(productId) + "_Drv"),
      productId_(productId),
      enable_((productNameOf(productId) + "_Enable").c_str(), 0, kIntMarker),
      productName_(productNameOf(productId)),
      debug_(kSourceName, "IniSection"),
      debugDetail_(kSourceName, "IniSection"),
      owner_(owner) {
  readDriverSection(iniPath);

  std::string infFolder = trimBlanks(productFolder + driverPath(-1));
  if (infFolder.empty() || (infFolder.back() != '\\' && infFolder.back() != '/')) infFolder += '\\';
  for (int n = 0; n < kInfFiles; ++n) {
    std::string key = "InfFileName_" + std::to_string(n);
    std::string name = readIniString(iniPath, driverSectionName_.c_str(), key.c_str(), kEmptyInf);
    std::string path = infFolder + kEmptyInfFile;
    if (name != kEmptyInf && fileExists(infFolder + name)) path = infFolder + name;
    infFiles_[n] = std::make_unique<PerInfFile>(key, path);
  }

  oemName_.setValue(readIniString(iniPath, driverSectionName_.c_str(), "OemProductName", driverSectionName_));
  auto enable = parseInteger(readIniString(iniPath, driverSectionName_.c_str(), "bEnableType", "0"));
  enable_.setValue(enable ? *enable : 0);

  readAppSection(iniPath);
}

Install_IniSection::~Install_IniSection() {
  HKLM_RegDataRW key(kRecordKey, 0);
  if (key.isOpen()) {
    enable_.save(key);
    oemName_.save(key);
  }
}

void Install_IniSection::readDriverSection(const std::string& iniPath) {
  const char* section = driverSectionName_.c_str();
  auto order = parseInteger(readIniString(iniPath, section, "ProductListOrder", "1"));
  // The order key is the value times 100; a value that is not a number, or whose key would not fit 32 bits,
  // counts as 20.
  int64_t key = order ? int64_t{*order} * 100 : 2000;
  if (key > INT32_MAX || key < INT32_MIN) key = 2000;
  orderKey_ = static_cast<int32_t>(key);

  driverXp_ = readIniString(iniPath, section, "driverXPPath", "Driver");
  driver2000_ = readIniString(iniPath, section, "driver2000Path", driverXp_);
  driverMe_ = readIniString(iniPath, section, "driverMePath", driverXp_);
  driver98_ = readIniString(iniPath, section, "driver98Path", driverXp_);
  mediaPlayerXp_ = readIniString(iniPath, section, "MediaPlayerSetupName_XP", "Error");
  mediaPlayerOther_ = readIniString(iniPath, section, "MediaPlayerSetupName_2K", "Error");
  showRestartPc_ = readIniInteger(iniPath, section, "ShowRestartPC", 1);
  neededPlayerXp_ = readIniInteger(iniPath, section, "NeedMediaPlayerVerXp", 900);
  neededPlayerOther_ = readIniInteger(iniPath, section, "NeedMediaPlayerVer2K", 900);
}

void Install_IniSection::readAppSection(const std::string& iniPath) {
  for (size_t i = 0; i < appSettings_.size(); ++i) appSettings_.at(i) = kDvdEncoderFields[i].defaultValue;
  appSettings_.at(0) = oemName_.value();
  appSettings_.at(3) = oemName_.value();
  appSettings_.read(iniPath, productName_.c_str(), kDvdEncoderReadFields);
}

void Install_IniSection::writeDriverSection(const std::string& iniPath) {
  const char* section = driverSectionName_.c_str();
  writeIniString(iniPath, section, "ProductListOrder", "2");
  writeIniString(iniPath, section, "driverXPPath", driverXp_);
  writeIniString(iniPath, section, "driver2000Path", driver2000_);
  writeIniString(iniPath, section, "driverMePath", driverMe_);
  writeIniString(iniPath, section, "driver98Path", driver98_);
  writeIniString(iniPath, section, "MediaPlayerSetupName_XP", mediaPlayerXp_);
  writeIniString(iniPath, section, "MediaPlayerSetupName_2K", mediaPlayerOther_);
  writeIniString(iniPath, section, "ShowRestartPC", std::to_string(showRestartPc_));
  writeIniString(iniPath, section, "NeedMediaPlayerVerXp", std::to_string(neededPlayerXp_));
  writeIniString(iniPath, section, "NeedMediaPlayerVer2K", std::to_string(neededPlayerOther_));
  for (const auto& inf : infFiles_)
    writeIniString(iniPath, section, inf->keyName().c_str(), fileNamePart(inf->path()));
  writeIniString(iniPath, section, "OemProductName", oemName_.value());
  writeIniString(iniPath, section, "bEnableType", "2");
  writeAppSection(iniPath);
}

void Install_IniSection::writeAppSection(const std::string& iniPath) {
  const char* section = productName_.c_str();
  const std::string oem = oemName_.value();
  writeIniString(iniPath, section, "OemProductName", oem);
  writeIniString(iniPath, section, "UiNameList", "UI_KT_TYPE|Professional Type");
  writeIniString(iniPath, section, "UiType", "UI_KT_TYPE");
  writeIniString(iniPath, section, "UiCaption", oem);
  writeIniString(iniPath, section, "iEpgSite", "index.htm");
  writeIniString(iniPath, section, "RecordPathMode", "RECORDPATH_DEFAULT");
  for (const char* key :
       {"bEnableType", "AutoPlay", "NtscVideoWinMask", "PalVideoWinMask", "RemoteType", "UseTvFreqFile",
        "IR_Function", "BCSH_TUNER", "BCSH_AV", "BCSH_SVHS", "OEM_Company", "RefClockSource", "SoftCodec"})
    writeIniString(iniPath, section, key, appSettings_.get(key));
  writeIniString(iniPath, section, "EnableTimeShift", appSettings_.get("EnableTimeShift") == "0" ? "0" : "1");
  for (const char* key : {"TimeShiftOnOff_Default", "ProductListOrder", "VidPidList", "NorvaneRawDataUseDemux"})
    writeIniString(iniPath, section, key, appSettings_.get(key));
}

std::string Install_IniSection::driverPath(int32_t osCode) const {
  switch (runningSystem(osCode)) {
    case 2000: return driver2000_;
    case 20005: return driverXp_;
    case 982000: return driverMe_;
    default: return driver98_;
  }
}

void Install_IniSection::setDriverPath(int32_t osCode, const std::string& path) {
  switch (runningSystem(osCode)) {
    case 2000: driver2000_ = path; break;
    case 20005: driverXp_ = path; break;
    case 982000: driverMe_ = path; break;
    default: driver98_ = path; break;
  }
}

std::string Install_IniSection::mediaPlayerSetupName(int32_t osCode) const {
  return runningSystem(osCode) == 20005 ? mediaPlayerXp_ : mediaPlayerOther_;
}

void Install_IniSection::setMediaPlayerSetupName(int32_t osCode, const std::string& name) {
  (runningSystem(osCode) == 20005 ? mediaPlayerXp_ : mediaPlayerOther_) = name;
}

int32_t Install_IniSection::neededMediaPlayerVersion(int32_t osCode) const {
  return runningSystem(osCode) == 20005 ? neededPlayerXp_ : neededPlayerOther_;
}

std::string Install_IniSection::substituteDevice(std::string text, const std::string& oemName) {
  static const char kPlaceholder[] = "%DEVICE%";
  // Two occurrences at most are replaced; the search restarts on the result each time.
  for (int round = 0; round < 2; ++round) {
    int at = FindTextNoCase(text.c_str(), kPlaceholder);
    if (at < 0) break;
    text.replace(static_cast<size_t>(at), sizeof kPlaceholder - 1, oemName);
  }
  return text;
}

std::string Install_IniSection::connectHardwareMessage() {
  return substituteDevice(owner_.drvInstallString().get("ConnectHardwareString"), oemName_.value());
}

std::string Install_IniSection::disconnectHardwareMessage() {
  return substituteDevice(owner_.drvInstallString().get("UnConnectHardwareString"), oemName_.value());
}

std::string Install_IniSection::osNeededMessage() const { return owner_.drvInstallString().get("OsNeeded"); }

int Install_IniSection::hardwareIdCount() const {
  int count = 0;
  for (const auto& inf : infFiles_)
    if (inf->isLoaded()) count += inf->hardwareIdCount();
  return count;
}

const tag_HardwareID* Install_IniSection::hardwareIdAt(int index) const {
  if (index < 0) return nullptr;
  for (const auto& inf : infFiles_) {
    if (!inf->isLoaded()) continue;
    if (index < inf->hardwareIdCount()) return inf->hardwareIdAt(index);
    index -= inf->hardwareIdCount();
  }
  return nullptr;
}

bool Install_IniSection::firstInfLoaded() const { return infFiles_[0] && infFiles_[0]->isLoaded(); }

bool Install_IniSection::matchHardware(const tag_HardwareID& record) {
  bool matched = false;
  for (auto& inf : infFiles_) matched = inf->matchHardware(record) || matched;
  return matched;
}

void Install_IniSection::clearMatches() {
  for (auto& inf : infFiles_) inf->clearMatches();
}

bool Install_IniSection::hasMatchedHardware() const {
  for (const auto& inf : infFiles_)
    if (inf->matchedCount() > 0) return true;
  return false;
}

PerInfFile* Install_IniSection::infFile(int index) {
  if (index == -1) {
    if (!current_) current_ = infFiles_[0].get();
    return current_;
  }
  if (index < 0 || index >= kInfFiles) return nullptr;
  current_ = infFiles_[index].get();
  return current_;
}

PerInfFile& Install_IniSection::currentInfFile() {
  if (current_) return *current_;
  if (infFiles_[0]) return *infFiles_[0];
  static PerInfFile placeholder("Dummy", "Error");
  return placeholder;
}

std::string Install_IniSection::vidPidListText() const {
  return infFiles_[0] ? infFiles_[0]->vidPidListText() : std::string("PCI|0, 0");
}

bool Install_IniSection_RX130::matchHardware(const tag_HardwareID& record) {
  if (GetOsVersionCode() == 20005 && FindTextNoCase(record.szHardwareID, "MI_0") < 0) return false;
  bool matched = infAt(0).matchHardware(record);
  matched = infAt(1).matchHardware(record) || matched;
  if (matched && record.nVendorID == 0x0E1B) {
    if (record.nDeviceID == 0x0A10) setOemProductName("LM-DT4/USB2");
    if (record.nDeviceID == 0x0A13) setOemProductName("LM-MS/QR");
  }
  return matched;
}
