#include "installTools/tools/setupCheck.h"

#include <cstdio>
#include <cstring>

#include "installTools/installer/config/installIniFile.h"
#include "installTools/tools/json.h"
#include "platform/seam/winapi.h"

namespace {

std::string hex4(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
  return text;
}

const char* busName(int32_t bus) {
  switch (bus) {
    case HWID_PCI: return "PCI";
    case HWID_USB: return "USB";
    case HWID_STREAM: return "STREAM";
    default: return "TEXT";
  }
}

std::string relativeTo(const std::string& folder, const std::string& path) {
  std::string relative = path;
  if (path.size() >= folder.size() && CompareTextNoCase(path.c_str(), folder.c_str(), folder.size()) == 0)
    relative = path.substr(folder.size());
  for (char& c : relative)
    if (c == '/') c = '\\';
  return relative;
}

std::vector<std::string> splitBlanks(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

}  // namespace

std::vector<std::string> presentHardwareIds() {
  std::vector<std::string> ids;
  HDEVINFO set = win::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return ids;
  SP_DEVINFO_DATA device;
  std::memset(&device, 0, sizeof device);
  device.cbSize = sizeof device;
  std::vector<BYTE> buffer(1024);
  for (DWORD index = 0; win::SetupDiEnumDeviceInfo(set, index, &device); ++index) {
    DWORD type = 0, needed = 0;
    if (!win::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, buffer.data(),
                                                static_cast<DWORD>(buffer.size()), &needed)) {
      if (win::GetLastError() != ERROR_INSUFFICIENT_BUFFER) continue;  // no hardware IDs
      buffer.assign(needed, 0);
      if (!win::SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, &type, buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), &needed))
        continue;
    }
    // A list of strings ended by an empty one.
    const char* text = reinterpret_cast<const char*>(buffer.data());
    size_t at = 0;
    while (at < needed && text[at]) {
      std::string id(text + at, strnlen(text + at, needed - at));
      ids.push_back(id);
      at += id.size() + 1;
    }
  }
  win::SetupDiDestroyDeviceInfoList(set);
  return ids;
}

bool describeSetup(const SetupCheckRequest& request, std::string& json) {
  Install_IniFile::setProgramFolder(request.packageFolder);
  const std::string folder = Install_IniFile::programFolder();
  const std::string iniPath = Install_IniFile::chooseIniFile();
  if (!fileExists(iniPath)) return false;

  const std::vector<std::string> args = splitBlanks(request.arguments);
  Install_IniFile ini(args.empty() ? std::string() : args[0]);

  std::vector<std::string> devices = presentHardwareIds();
  devices.insert(devices.end(), request.devices.begin(), request.devices.end());
  for (const std::string& text : devices) {
    tag_HardwareID record{};
    record.nBusType = HWID_TEXT;
    std::strncpy(record.szHardwareID, text.c_str(), sizeof record.szHardwareID - 1);
    if (text.size() >= sizeof record.szHardwareID || !NormalizeHardwareID(record)) continue;
    for (Install_IniSection* section : ini.activeSections()) section->matchHardware(record);
  }

  JsonWriter out;
  out.beginObject();
  out.value("iniFile", relativeTo(folder, ini.iniPath()));
  out.value("osVersionCode", GetOsVersionCode());
  out.value("lcid", hex4(win::GetUserDefaultLCID()));
  out.beginArray("active");
  for (Install_IniSection* section : ini.activeSections()) out.value(nullptr, section->productId());
  out.endArray();
  out.value("current", ini.currentSection()->productId());
  out.beginObject("texts");
  for (size_t i = 0; i < ini.drvInstallString().size(); ++i)
    out.value(ini.drvInstallString().key(i), ini.drvInstallString().at(i));
  out.endObject();
  out.beginArray("products");
  for (Install_IniSection* section : ini.allSections()) {
    out.beginObject();
    out.value("id", section->productId());
    out.value("name", section->productName());
    out.value("oemName", section->oemProductName());
    out.value("enabled", section->isEnabled());
    out.value("orderKey", section->orderKey());
    out.value("driverPath", section->driverPath(-1));
    out.value("showRestartPc", section->showRestartPc());
    out.value("vidPidList", section->vidPidListText());
    out.value("matched", section->hasMatchedHardware());
    out.beginArray("infFiles");
    for (int n = 0; n < section->infFileCount(); ++n) {
      PerInfFile& inf = *section->infFile(n);
      out.beginObject();
      out.value("key", inf.keyName());
      out.value("path", relativeTo(folder, inf.path()));
      out.value("loaded", inf.isLoaded());
      out.value("classGuid", inf.classGuid());
      out.beginArray("hardwareIds");
      for (int h = 0; h < inf.hardwareIdCount(); ++h) {
        const tag_HardwareID* id = inf.hardwareIdAt(h);
        out.beginObject();
        out.value("bus", busName(id->nBusType));
        out.value("vendor", hex4(id->nVendorID));
        out.value("device", hex4(id->nDeviceID));
        out.value("text", std::string(id->szHardwareID));
        out.endObject();
      }
      out.endArray();
      out.endObject();
    }
    out.endArray();
    out.endObject();
  }
  out.endArray();
  out.endObject();
  json = out.text();
  return true;
}
