#include "platform/sim/machine.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/sim/text.h"

namespace sim {

namespace {

Machine*& active() {
  static Machine* machine = nullptr;
  return machine;
}

}  // namespace

int MessageBoxes::show(HWND owner, const std::string& text, const std::string& caption, UINT type) {
  int answer;
  if (!answers_.empty()) {
    answer = answers_.front();
    answers_.pop_front();
  } else {
    switch (type & 0xF) {
      case MB_ABORTRETRYIGNORE: answer = IDABORT; break;
      case MB_YESNOCANCEL:
      case MB_YESNO: answer = IDYES; break;
      case MB_RETRYCANCEL: answer = IDRETRY; break;
      default: answer = IDOK; break;
    }
  }
  calls_.push_back({owner, text, caption, type, answer});
  return answer;
}

Machine::Machine() {
  files.createDirectories(windowsFolder);
  files.createDirectories(systemFolder());
  files.createDirectories(systemFolder() + "\\drivers");
  files.createDirectories(windowsFolder + "\\inf");
  files.createDirectories(windowsFolder + "\\Temp");
  registry.createKey("HKEY_LOCAL_MACHINE\\Software");
  registry.createKey("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet");
}

void Machine::setWindows98SE() {
  version = VersionRecord{};
  version.major = 4;
  version.minor = 10;
  version.build = 0x040A08AE;  // 4.10.2222 with the version in the high word, as the 9x family reports it
  version.platform = VER_PLATFORM_WIN32_WINDOWS;
  version.csd = " A ";
  version.servicePackMajor = 0;
}

void Machine::setWindowsMe() {
  version = VersionRecord{};
  version.major = 4;
  version.minor = 90;
  version.build = 0x045A0BB8;  // 4.90.3000
  version.platform = VER_PLATFORM_WIN32_WINDOWS;
  version.csd = " ";
  version.servicePackMajor = 0;
}

void Machine::setWindows2000(int servicePack) {
  version = VersionRecord{};
  version.major = 5;
  version.minor = 0;
  version.build = 2195;
  version.csd = servicePack > 0 ? "Service Pack " + std::to_string(servicePack) : "";
  version.servicePackMajor = static_cast<WORD>(servicePack);
}

void Machine::setWindowsXP(int servicePack) {
  version = VersionRecord{};
  version.csd = servicePack > 0 ? "Service Pack " + std::to_string(servicePack) : "";
  version.servicePackMajor = static_cast<WORD>(servicePack);
}

// Device nodes ----------------------------------------------------------------------------------------------

std::string Machine::enumRoot() const {
  return isWindows9x() ? "HKEY_LOCAL_MACHINE\\Enum" : "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum";
}

std::string Machine::classRoot() const {
  return isWindows9x() ? "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class"
                       : "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class";
}

std::string Machine::enumKeyPath(const Device& device) const { return enumRoot() + "\\" + device.instanceId; }

std::string Machine::driverKeyPath(const Device& device) const {
  return device.driver.empty() ? std::string() : classRoot() + "\\" + device.driver;
}

void Machine::writeEnumKey(const Device& device) {
  std::string key = enumKeyPath(device);
  registry.createKey(key);
  if (!device.hardwareIds.empty()) {
    std::string multi;
    for (const auto& id : device.hardwareIds) multi += id + '\0';
    multi += '\0';
    registry.setValue(key, "HardwareID", REG_MULTI_SZ, std::vector<uint8_t>(multi.begin(), multi.end()));
  }
  if (!device.classGuid.empty()) registry.setString(key, "ClassGUID", device.classGuid);
  if (!device.driver.empty()) registry.setString(key, "Driver", device.driver);
  if (!device.service.empty()) registry.setString(key, "Service", device.service);
}

Device& Machine::addDevice(const Device& device) {
  devices.push_back(device);
  writeEnumKey(device);
  return devices.back();
}

Device* Machine::findDevice(const std::string& instanceId) {
  for (auto& device : devices) {
    if (iequals(device.instanceId, instanceId)) return &device;
  }
  return nullptr;
}

DEVINST Machine::devInst(const std::string& instanceId) {
  if (iequals(instanceId, kRootDeviceId)) return kRootDevInst;
  auto [it, added] = devInsts_.try_emplace(upper(instanceId), nextDevInst_);
  if (added) ++nextDevInst_;
  return it->second;
}

Device* Machine::deviceAt(DEVINST handle) {
  for (const auto& [id, value] : devInsts_) {
    if (value == handle) return findDevice(id);
  }
  return nullptr;
}

void Machine::forgetDevice(const std::string& instanceId) {
  for (auto it = devices.begin(); it != devices.end(); ++it) {
    if (iequals(it->instanceId, instanceId)) {
      devices.erase(it);
      return;
    }
  }
}

// machine.ini ------------------------------------------------------------------------------------------------

namespace {

using IniSections = std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

bool parseIni(const std::string& text, IniSections& out, std::string& error) {
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') {
        error = "machine.ini line " + std::to_string(number) + ": unterminated section name";
        return false;
      }
      out.push_back({trim(line.substr(1, line.size() - 2)), {}});
      continue;
    }
    auto eq = line.find('=');
    if (eq == std::string::npos || out.empty()) {
      error = "machine.ini line " + std::to_string(number) + ": expected KEY=VALUE inside a section";
      return false;
    }
    out.back().second.push_back({trim(line.substr(0, eq)), trim(line.substr(eq + 1))});
  }
  return true;
}

bool parseNumber(const std::string& text, int base, unsigned long& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, base);
  return end && *end == '\0';
}

std::string hex4(unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04X", value & 0xFFFF);
  return buffer;
}

}  // namespace

bool Machine::load(const std::string& dir, Machine& machine, std::string& error) {
  namespace fs = std::filesystem;
  std::ifstream iniFile(fs::path(dir) / "machine.ini", std::ios::binary);
  if (!iniFile) {
    error = "no machine.ini in " + dir;
    return false;
  }
  std::stringstream iniText;
  iniText << iniFile.rdbuf();
  IniSections sections;
  if (!parseIni(iniText.str(), sections, error)) return false;

  for (const auto& [section, keys] : sections) {
    const bool isDevice = iequals(section.substr(0, 7), "Device.");
    if (!isDevice && !iequals(section, "Version") && !iequals(section, "Locale") && !iequals(section, "Paths") &&
        !iequals(section, "Security")) {
      error = "machine.ini: unknown section [" + section + "]";
      return false;
    }
    Device device;
    for (const auto& [key, value] : keys) {
      unsigned long n = 0;
      auto number = [&](int base) {
        if (!parseNumber(value, base, n)) {
          error = "machine.ini [" + section + "] " + key + ": not a number: " + value;
          return false;
        }
        return true;
      };
      if (iequals(section, "Version")) {
        if (iequals(key, "CSDVersion")) {
          machine.version.csd = value;
        } else if (iequals(key, "RefusesExtended")) {
          if (!number(10)) return false;
          machine.version.refusesExtended = n != 0;
        } else if (iequals(key, "RefusesPlain")) {
          if (!number(10)) return false;
          machine.version.refusesPlain = n != 0;
        } else {
          if (!number(0)) return false;
          if (iequals(key, "Major"))
            machine.version.major = static_cast<DWORD>(n);
          else if (iequals(key, "Minor"))
            machine.version.minor = static_cast<DWORD>(n);
          else if (iequals(key, "Build"))
            machine.version.build = static_cast<DWORD>(n);
          else if (iequals(key, "Platform"))
            machine.version.platform = static_cast<DWORD>(n);
          else if (iequals(key, "ServicePackMajor"))
            machine.version.servicePackMajor = static_cast<WORD>(n);
          else if (iequals(key, "ServicePackMinor"))
            machine.version.servicePackMinor = static_cast<WORD>(n);
          else {
            error = "machine.ini [Version]: unknown key " + key;
            return false;
          }
        }
      } else if (iequals(section, "Locale")) {
        if (!number(16)) return false;
        if (iequals(key, "UserLCID"))
          machine.userLcid = static_cast<LCID>(n);
        else if (iequals(key, "SystemLanguage"))
          machine.systemLanguage = static_cast<LANGID>(n);
        else {
          error = "machine.ini [Locale]: unknown key " + key;
          return false;
        }
      } else if (iequals(section, "Paths")) {
        if (iequals(key, "Module"))
          machine.modulePath = value;
        else if (iequals(key, "Windows"))
          machine.windowsFolder = value;
        else {
          error = "machine.ini [Paths]: unknown key " + key;
          return false;
        }
      } else if (iequals(section, "Security")) {
        if (iequals(key, "Account")) {
          if (iequals(value, "Administrator")) {
            machine.security.runAsAdministrator();
          } else if (iequals(value, "StandardUser")) {
            machine.security.runAsStandardUser();
          } else {
            error = "machine.ini [Security] Account: Administrator or StandardUser, not " + value;
            return false;
          }
        } else if (iequals(key, "ThreadToken")) {
          if (!number(10)) return false;
          machine.security.token.threadToken = n != 0;
        } else if (iequals(key, "MissingLibraries")) {
          for (const auto& name : split(value, '|')) machine.libraries.remove(trim(name));
        } else if (iequals(key, "MissingFunctions")) {
          for (const auto& item : split(value, '|')) {
            auto bang = item.find('!');
            if (bang == std::string::npos) {
              error = "machine.ini [Security] MissingFunctions: LIBRARY!FUNCTION expected, not " + item;
              return false;
            }
            machine.libraries.removeFunction(trim(item.substr(0, bang)), trim(item.substr(bang + 1)));
          }
        } else {
          error = "machine.ini [Security]: unknown key " + key;
          return false;
        }
      } else if (isDevice) {
        if (iequals(key, "InstanceId"))
          device.instanceId = value;
        else if (iequals(key, "HardwareIds"))
          device.hardwareIds = split(value, '|');
        else if (iequals(key, "Parent"))
          device.parent = value;
        else if (iequals(key, "ClassGuid"))
          device.classGuid = value;
        else if (iequals(key, "Driver"))
          device.driver = value;
        else if (iequals(key, "Service"))
          device.service = value;
        else if (iequals(key, "Present") || iequals(key, "RemovalFails") || iequals(key, "RestartOnInstall")) {
          if (!number(10)) return false;
          if (iequals(key, "Present"))
            device.present = n != 0;
          else if (iequals(key, "RemovalFails"))
            device.removalFails = n != 0;
          else
            device.restartOnInstall = n != 0;
        } else if (iequals(key, "PropertyError")) {
          if (!number(0)) return false;
          device.propertyError = static_cast<DWORD>(n);
        } else {
          error = "machine.ini [" + section + "]: unknown key " + key;
          return false;
        }
      }
    }
    if (isDevice) {
      if (device.instanceId.empty()) {
        error = "machine.ini [" + section + "]: a device needs its InstanceId";
        return false;
      }
      machine.devices.push_back(device);
    }
  }

  std::ifstream regFile(fs::path(dir) / "registry.reg", std::ios::binary);
  if (regFile) {
    std::stringstream regText;
    regText << regFile.rdbuf();
    if (!machine.registry.importRegText(regText.str(), error)) {
      error = "registry.reg: " + error;
      return false;
    }
  }
  // A node whose enumeration key the registry lacks gets one, as the system writes it when it finds the device.
  for (const auto& device : machine.devices) {
    if (!machine.registry.keyExists(machine.enumKeyPath(device))) machine.writeEnumKey(device);
  }
  if (fs::is_directory(fs::path(dir) / "drive_c")) {
    if (!machine.files.importHostTree("C:\\", (fs::path(dir) / "drive_c").string(), error)) return false;
  }
  std::ifstream securityFile(fs::path(dir) / "security.ini", std::ios::binary);
  if (securityFile) {
    std::stringstream securityText;
    securityText << securityFile.rdbuf();
    IniSections objects;
    if (!parseIni(securityText.str(), objects, error)) {
      error = "security.ini: " + error.substr(error.find(' ') + 1);
      return false;
    }
    for (const auto& [section, entries] : objects) {
      const bool keys = iequals(section, "Keys");
      if (!keys && !iequals(section, "Files")) {
        error = "security.ini: unknown section [" + section + "]";
        return false;
      }
      for (const auto& [path, text] : entries) {
        SecurityDescriptor sd;
        if (!SecurityDescriptor::parse(text, sd)) {
          error = "security.ini [" + section + "] " + path + ": malformed descriptor " + text;
          return false;
        }
        if (!(keys ? machine.registry.setKeySecurity(path, sd) : machine.files.setSecurity(path, sd))) {
          error = "security.ini [" + section + "] " + path + ": no such " + (keys ? "key" : "file");
          return false;
        }
      }
    }
  }
  return true;
}

bool Machine::save(const std::string& dir, std::string& error) const {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    error = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  std::ostringstream ini;
  ini << "; The simulated machine: version record, locale, paths and device nodes.\r\n";
  ini << "[Version]\r\nMajor=" << version.major << "\r\nMinor=" << version.minor << "\r\nBuild=" << version.build
      << "\r\nPlatform=" << version.platform << "\r\nCSDVersion=" << version.csd
      << "\r\nServicePackMajor=" << version.servicePackMajor << "\r\nServicePackMinor=" << version.servicePackMinor
      << "\r\n";
  if (version.refusesExtended) ini << "RefusesExtended=1\r\n";
  if (version.refusesPlain) ini << "RefusesPlain=1\r\n";
  ini << "\r\n[Locale]\r\nUserLCID=" << hex4(userLcid) << "\r\nSystemLanguage=" << hex4(systemLanguage) << "\r\n";
  ini << "\r\n[Paths]\r\nModule=" << modulePath << "\r\nWindows=" << windowsFolder << "\r\n";
  for (size_t i = 0; i < devices.size(); ++i) {
    ini << "\r\n[Device." << i << "]\r\nInstanceId=" << devices[i].instanceId << "\r\nHardwareIds=";
    for (size_t k = 0; k < devices[i].hardwareIds.size(); ++k) ini << (k ? "|" : "") << devices[i].hardwareIds[k];
    ini << "\r\nPresent=" << (devices[i].present ? 1 : 0) << "\r\n";
    const Device& d = devices[i];
    if (!d.parent.empty()) ini << "Parent=" << d.parent << "\r\n";
    if (!d.classGuid.empty()) ini << "ClassGuid=" << d.classGuid << "\r\n";
    if (!d.driver.empty()) ini << "Driver=" << d.driver << "\r\n";
    if (!d.service.empty()) ini << "Service=" << d.service << "\r\n";
    if (d.propertyError) ini << "PropertyError=" << d.propertyError << "\r\n";
    if (d.removalFails) ini << "RemovalFails=1\r\n";
    if (d.restartOnInstall) ini << "RestartOnInstall=1\r\n";
  }
  // The section is written only for a machine that differs from the default one in it.
  const bool standardUser = security.token.user == kSidStandardUser;
  if (standardUser || security.token.threadToken || !libraries.missingLibraries().empty() ||
      !libraries.missingFunctions().empty()) {
    ini << "\r\n[Security]\r\n";
  }
  if (standardUser) ini << "Account=StandardUser\r\n";
  if (security.token.threadToken) ini << "ThreadToken=1\r\n";
  if (!libraries.missingLibraries().empty()) {
    ini << "MissingLibraries=";
    for (const auto& name : libraries.missingLibraries())
      ini << (&name == &*libraries.missingLibraries().begin() ? "" : "|") << name;
    ini << "\r\n";
  }
  if (!libraries.missingFunctions().empty()) {
    ini << "MissingFunctions=";
    for (const auto& name : libraries.missingFunctions())
      ini << (&name == &*libraries.missingFunctions().begin() ? "" : "|") << name;
    ini << "\r\n";
  }
  std::ofstream(fs::path(dir) / "machine.ini", std::ios::binary | std::ios::trunc) << ini.str();
  std::ofstream(fs::path(dir) / "registry.reg", std::ios::binary | std::ios::trunc) << registry.exportRegText();
  fs::remove_all(fs::path(dir) / "drive_c", ec);
  if (!files.exportHostTree("C:\\", (fs::path(dir) / "drive_c").string(), error)) return false;
  auto keys = registry.explicitKeySecurity();
  auto objects = files.explicitSecurity();
  fs::remove(fs::path(dir) / "security.ini", ec);
  if (!keys.empty() || !objects.empty()) {
    std::ostringstream out;
    out << "; Security descriptors of the keys and files that do not have the machine's default one.\r\n";
    out << "[Keys]\r\n";
    for (const auto& [path, sd] : keys) out << path << "=" << sd.text() << "\r\n";
    out << "\r\n[Files]\r\n";
    for (const auto& [path, sd] : objects) out << path << "=" << sd.text() << "\r\n";
    std::ofstream(fs::path(dir) / "security.ini", std::ios::binary | std::ios::trunc) << out.str();
  }
  return true;
}

Machine& current() {
  static Machine fallback;
  Machine* machine = active();
  return machine ? *machine : fallback;
}

MachineScope::MachineScope(Machine& machine) : previous_(active()) { active() = &machine; }

MachineScope::~MachineScope() { active() = previous_; }

}  // namespace sim
