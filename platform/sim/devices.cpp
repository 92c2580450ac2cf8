// The device functions of the simulated machine, over its device nodes (sim::Device), registry and files:
//   setupapi  device-information sets of the present devices, their properties, fixture devices
//             (create, set the hardware IDs, DIF_REGISTERDEVICE), removal (SetupDiRemoveDevice, DIF_REMOVE),
//             the INF store (SetupCopyOEMInfA: oemN.inf with its precompiled companion oemN.pnf);
//   newdev    UpdateDriverForPlugAndPlayDevicesA: installs the INF's driver for the present devices of a
//             hardware ID, as the system's class installer does (files, driver key, AddReg, services,
//             device interfaces);
//   cfgmgr32  the device tree: root, child, sibling, parent, registry properties, re-enumeration, removal of
//             a subtree, deletion of a node's registry key.
// Every change to a node is written into machine.deviceLog.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/seam/winapi.h"
#include "platform/sim/library_functions.h"
#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace {

constexpr DWORD ERROR_INVALID_USER_BUFFER_ = 1784;
constexpr DWORD ERROR_INVALID_FLAGS_ = 1004;

template <typename T>
T failWith(DWORD error, T result) {
  win::SetLastError(error);
  return result;
}

// GUIDs in their registry form, "{4d36e96c-e325-11ce-bfc1-08002be10318}".
std::string guidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return text;
}

GUID guidOf(const std::string& text) {
  GUID guid{};
  unsigned d[11] = {};
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5],
                  &d[6], &d[7], &d[8], &d[9], &d[10]) == 11) {
    guid.Data1 = d[0];
    guid.Data2 = static_cast<uint16_t>(d[1]);
    guid.Data3 = static_cast<uint16_t>(d[2]);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<uint8_t>(d[3 + i]);
  }
  return guid;
}

std::string multiText(const std::vector<std::string>& strings) {
  std::string multi;
  for (const auto& s : strings) multi += s + '\0';
  multi += '\0';
  return multi;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Device-information sets ----------------------------------------------------------------------------------

// A set: the nodes it was made over, by instance ID, and the devices created in it that are not registered yet.
struct DeviceInfoSet {
  std::vector<std::string> members;
  std::map<std::string, sim::Device> created;  // upper-cased instance ID -> the device being built
  std::string classGuid;                       // the set's class, "" for all classes
};

std::mutex setsMutex;
std::map<HDEVINFO, std::unique_ptr<DeviceInfoSet>>& sets() {
  static std::map<HDEVINFO, std::unique_ptr<DeviceInfoSet>> all;
  return all;
}

DeviceInfoSet* findSet(HDEVINFO handle) {
  std::lock_guard guard(setsMutex);
  auto it = sets().find(handle);
  return it == sets().end() ? nullptr : it->second.get();
}

HDEVINFO newSet(std::unique_ptr<DeviceInfoSet> set) {
  HDEVINFO handle = set.get();
  std::lock_guard guard(setsMutex);
  sets()[handle] = std::move(set);
  return handle;
}

// The device a set's record names: a node of the machine, or a device created in the set and not registered.
// Null with the last error set when the record is malformed or the node is gone.
sim::Device* deviceOf(HDEVINFO handle, PSP_DEVINFO_DATA data, sim::Machine& m, DeviceInfoSet** owner = nullptr) {
  DeviceInfoSet* set = findSet(handle);
  if (!set) return failWith<sim::Device*>(ERROR_INVALID_HANDLE, nullptr);
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return failWith<sim::Device*>(ERROR_INVALID_USER_BUFFER_, nullptr);
  }
  if (owner) *owner = set;
  for (const auto& id : set->members) {
    if (m.devInst(id) != data->DevInst) continue;
    auto created = set->created.find(sim::upper(id));
    if (created != set->created.end()) return &created->second;
    if (sim::Device* device = m.findDevice(id)) return device;
    return failWith<sim::Device*>(ERROR_NO_SUCH_DEVINST, nullptr);
  }
  return failWith<sim::Device*>(ERROR_INVALID_PARAMETER, nullptr);
}

// Removal of a node and its subtree, as the class installer's DIF_REMOVE does it: the enumeration and driver
// keys go, the nodes are forgotten. Device-interface keys stay, as the system leaves them.
void removeSubtree(sim::Machine& m, const std::string& instanceId) {
  std::vector<std::string> children;
  for (const auto& device : m.devices) {
    if (sim::iequals(device.parent, instanceId)) children.push_back(device.instanceId);
  }
  for (const auto& child : children) removeSubtree(m, child);
  sim::Device* device = m.findDevice(instanceId);
  if (!device) return;
  if (!device->driver.empty()) m.registry.deleteTree(m.driverKeyPath(*device));
  m.registry.deleteTree(m.enumKeyPath(*device));
  m.deviceLog.push_back("remove " + device->instanceId);
  m.forgetDevice(instanceId);
}

bool subtreeVetoes(sim::Machine& m, const sim::Device& device) {
  if (device.removalFails) return true;
  for (const auto& other : m.devices) {
    if (sim::iequals(other.parent, device.instanceId) && other.present && subtreeVetoes(m, other)) return true;
  }
  return false;
}

// INF files --------------------------------------------------------------------------------------------------

// One line of an INF section: the key before "=" ("" without one) and the comma-separated fields after it,
// unquoted and trimmed; %name% replaced from [Strings].
struct InfLine {
  std::string key;
  std::vector<std::string> fields;
};

class Inf {
 public:
  bool load(const std::string& text) {
    std::string section;
    for (auto raw : sim::split(text, '\n')) {
      std::string line = stripComment(raw);
      line = sim::trim(line);
      if (line.empty()) continue;
      if (line.front() == '[') {
        auto close = line.find(']');
        if (close == std::string::npos) continue;
        section = sim::upper(sim::trim(line.substr(1, close - 1)));
        sections_[section];
        continue;
      }
      if (section.empty()) continue;
      sections_[section].push_back(line);
    }
    for (const auto& line : rawSection("Strings")) {
      auto eq = line.find('=');
      if (eq != std::string::npos) strings_[sim::upper(sim::trim(line.substr(0, eq)))] = unquote(line.substr(eq + 1));
    }
    return true;
  }

  bool has(const std::string& section) const { return sections_.count(sim::upper(section)) > 0; }

  std::vector<InfLine> section(const std::string& name) const {
    std::vector<InfLine> lines;
    for (const auto& raw : rawSection(name)) {
      InfLine line;
      std::string rest = raw;
      auto eq = findOutsideQuotes(raw, '=');
      if (eq != std::string::npos) {
        line.key = expand(unquote(raw.substr(0, eq)));
        rest = raw.substr(eq + 1);
      }
      for (const auto& field : splitOutsideQuotes(rest)) line.fields.push_back(expand(unquote(field)));
      lines.push_back(line);
    }
    return lines;
  }

  // The first value of a key in a section, "" when missing.
  std::string value(const std::string& section, const std::string& key) const {
    for (const auto& line : this->section(section)) {
      if (sim::iequals(line.key, key) && !line.fields.empty()) return line.fields[0];
    }
    return {};
  }
  std::vector<std::string> values(const std::string& section, const std::string& key) const {
    std::vector<std::string> all;
    for (const auto& line : this->section(section)) {
      if (!sim::iequals(line.key, key)) continue;
      for (const auto& field : line.fields) {
        if (!field.empty()) all.push_back(field);
      }
    }
    return all;
  }

 private:
  std::vector<std::string> rawSection(const std::string& name) const {
    auto it = sections_.find(sim::upper(name));
    return it == sections_.end() ? std::vector<std::string>{} : it->second;
  }

  static std::string stripComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == ';' && !quoted) return line.substr(0, i);
    }
    return line;
  }
  static size_t findOutsideQuotes(const std::string& text, char c) {
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '"') quoted = !quoted;
      if (text[i] == c && !quoted) return i;
    }
    return std::string::npos;
  }
  static std::vector<std::string> splitOutsideQuotes(const std::string& text) {
    std::vector<std::string> parts;
    std::string rest = text;
    for (;;) {
      auto comma = findOutsideQuotes(rest, ',');
      parts.push_back(rest.substr(0, comma));
      if (comma == std::string::npos) break;
      rest = rest.substr(comma + 1);
    }
    return parts;
  }
  static std::string unquote(const std::string& text) {
    std::string t = sim::trim(text);
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"') t = t.substr(1, t.size() - 2);
    return t;
  }
  // %name% from [Strings]; a directory number (%12%) stays as it is for the caller.
  std::string expand(const std::string& text) const {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
      auto close = text[i] == '%' ? text.find('%', i + 1) : std::string::npos;
      if (close == std::string::npos) {
        out += text[i];
        continue;
      }
      auto it = strings_.find(sim::upper(text.substr(i + 1, close - i - 1)));
      out += it != strings_.end() ? it->second : text.substr(i, close - i + 1);
      i = close;
    }
    return out;
  }

  std::map<std::string, std::vector<std::string>> sections_;
  std::map<std::string, std::string> strings_;
};

std::optional<Inf> loadInf(sim::Machine& m, const std::string& path) {
  auto bytes = m.files.readFile(path);
  if (!bytes) return std::nullopt;
  Inf inf;
  inf.load(*bytes);
  return inf;
}

std::string folderOf(const std::string& path) {
  auto slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}
std::string nameOf(const std::string& path) {
  auto slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A directory number of an INF (DestinationDirs, %12%) as a folder of the machine.
std::string folderOfDirId(sim::Machine& m, const std::string& id) {
  unsigned long n = std::strtoul(id.c_str(), nullptr, 10);
  switch (n) {
    case 10: return m.windowsFolder;
    case 11: return m.systemFolder();
    case 12: return m.systemFolder() + "\\drivers";
    case 17: return m.windowsFolder + "\\inf";
    default: return {};
  }
}

// Copies an INF into the INF store as oemN.inf with its precompiled companion oemN.pnf; an INF the store
// already holds (same bytes) keeps its name. The store name, or "" with the last error set.
std::string copyIntoStore(sim::Machine& m, const std::string& source, DWORD style) {
  auto bytes = m.files.readFile(source);
  if (!bytes || m.files.isDirectory(source)) return failWith<std::string>(ERROR_FILE_NOT_FOUND, {});
  Inf inf;
  inf.load(*bytes);
  std::string catalog = inf.value("Version", "CatalogFile");
  if (!catalog.empty() && !m.files.exists(folderOf(source) + "\\" + catalog)) {
    return failWith<std::string>(ERROR_FILE_NOT_FOUND, {});
  }
  const std::string store = m.windowsFolder + "\\inf";
  for (int n = 0;; ++n) {
    std::string name = "oem" + std::to_string(n) + ".inf";
    auto held = m.files.readFile(store + "\\" + name);
    if (held && *held == *bytes) {
      if (style & SP_COPY_NOOVERWRITE) return failWith<std::string>(ERROR_FILE_EXISTS, {});
      return store + "\\" + name;
    }
    if (held) continue;
    // Not every number is in use: look on for the same INF stored under a later name first.
    bool later = false;
    for (int k = n + 1; k < n + 64 && !later; ++k) {
      auto other = m.files.readFile(store + "\\oem" + std::to_string(k) + ".inf");
      if (other && *other == *bytes) {
        if (style & SP_COPY_NOOVERWRITE) return failWith<std::string>(ERROR_FILE_EXISTS, {});
        return store + "\\oem" + std::to_string(k) + ".inf";
      }
    }
    m.files.writeFile(store + "\\" + name, *bytes);
    m.files.writeFile(store + "\\oem" + std::to_string(n) + ".pnf",
                      std::string("PNF\x01\x01", 5) + source + std::string(1, '\0'));
    m.deviceLog.push_back("copy " + name);
    return store + "\\" + name;
  }
}

// The install section as the system picks it: the NT decorations first on NT.
std::string decoratedSection(sim::Machine& m, const Inf& inf, const std::string& section) {
  if (!m.isWindows9x()) {
    for (const char* suffix : {".NTx86", ".NT"}) {
      if (inf.has(section + suffix)) return section + suffix;
    }
  }
  return section;
}

std::string registryRoot(const std::string& root, const std::string& hkr) {
  std::string r = sim::upper(root);
  if (r == "HKR") return hkr;
  if (r == "HKLM") return "HKEY_LOCAL_MACHINE";
  if (r == "HKCU") return "HKEY_CURRENT_USER";
  if (r == "HKCR") return "HKEY_LOCAL_MACHINE\\Software\\Classes";
  if (r == "HKU") return "HKEY_USERS";
  return {};
}

// One AddReg line: root, subkey, value name, flags, value.
void addRegLine(sim::Machine& m, const InfLine& line, const std::string& hkr) {
  const auto& f = line.fields;
  if (f.empty()) return;
  std::string root = registryRoot(f[0], hkr);
  if (root.empty()) return;
  std::string key = f.size() > 1 && !f[1].empty() ? root + "\\" + f[1] : root;
  std::string name = f.size() > 2 ? f[2] : "";
  DWORD flags = f.size() > 3 && !f[3].empty() ? static_cast<DWORD>(std::strtoul(f[3].c_str(), nullptr, 0)) : 0;
  m.registry.createKey(key);
  if (flags & 0x10) return;  // FLG_ADDREG_KEYONLY
  DWORD type = 0;
  std::vector<uint8_t> existing;
  if ((flags & 0x2) && m.registry.getValue(key, name, type, existing)) return;  // FLG_ADDREG_NOCLOBBER
  if ((flags & 0x00010001) == 0x00010001) {                                     // REG_DWORD
    DWORD value = f.size() > 4 ? static_cast<DWORD>(std::strtoul(f[4].c_str(), nullptr, 0)) : 0;
    m.registry.setDword(key, name, value);
  } else if (flags & 0x1) {  // binary bytes in hex
    std::vector<uint8_t> bytes;
    for (size_t i = 4; i < f.size(); ++i)
      bytes.push_back(static_cast<uint8_t>(std::strtoul(f[i].c_str(), nullptr, 16)));
    m.registry.setValue(key, name, REG_BINARY, bytes);
  } else if (flags & 0x00010000) {  // REG_MULTI_SZ
    std::string multi = multiText(std::vector<std::string>(f.begin() + std::min<size_t>(4, f.size()), f.end()));
    m.registry.setValue(key, name, REG_MULTI_SZ, std::vector<uint8_t>(multi.begin(), multi.end()));
  } else {
    std::string text = f.size() > 4 ? f[4] : "";
    if (flags & 0x00020000) {
      m.registry.setValue(key, name, REG_EXPAND_SZ, std::vector<uint8_t>(text.begin(), text.end() + 1));
    } else {
      m.registry.setString(key, name, text);
    }
  }
}

// ServiceBinary: "%12%\x.sys" names the file as the service manager stores it, "system32\DRIVERS\x.sys".
std::string imagePath(const std::string& binary) {
  if (binary.rfind("%12%\\", 0) == 0) return "system32\\DRIVERS\\" + binary.substr(5);
  if (binary.rfind("%11%\\", 0) == 0) return "system32\\" + binary.substr(5);
  return binary;
}

// The driver key of a new driver: the next free four-digit instance under the class.
std::string newDriverKey(sim::Machine& m, const std::string& classKeyName) {
  std::string classKey = m.classRoot() + "\\" + classKeyName;
  for (int n = 0;; ++n) {
    char instance[16];
    std::snprintf(instance, sizeof instance, "%04d", n);
    if (!m.registry.keyExists(classKey + "\\" + instance)) return classKeyName + "\\" + instance;
  }
}

// Installs the INF's driver for one device: files, driver key, AddReg, services, interfaces, the node's
// enumeration key. False with the last error set when a file cannot be copied.
bool installFor(sim::Machine& m, sim::Device& device, const Inf& inf, const std::string& sourceInf,
                const std::string& storedInf, const std::string& model, const std::string& description,
                const std::string& matchingId) {
  const std::string section = decoratedSection(m, inf, model);
  // Files first: a file that cannot be copied leaves the device as it was.
  std::vector<std::pair<std::string, std::string>> copies;
  for (const auto& entry : inf.values(section, "CopyFiles")) {
    std::vector<std::string> names;
    std::string destination = inf.value("DestinationDirs", entry);
    if (entry.front() == '@') {
      names.push_back(entry.substr(1));
    } else {
      for (const auto& line : inf.section(entry)) {
        if (!line.fields.empty() && !line.fields[0].empty()) names.push_back(line.fields[0]);
      }
    }
    if (destination.empty() || entry.front() == '@') destination = inf.value("DestinationDirs", "DefaultDestDir");
    auto fields = inf.section("DestinationDirs");
    std::string sub;
    for (const auto& l : fields) {
      if (sim::iequals(l.key, entry.front() == '@' ? "DefaultDestDir" : entry) && l.fields.size() > 1)
        sub = l.fields[1];
    }
    std::string folder = folderOfDirId(m, destination.empty() ? "12" : destination);
    if (folder.empty()) return failWith(ERROR_INVALID_PARAMETER, false);
    if (!sub.empty()) folder += "\\" + sub;
    for (const auto& name : names) copies.push_back({folderOf(sourceInf) + "\\" + name, folder + "\\" + name});
  }
  for (const auto& [from, to] : copies) {
    if (!m.files.exists(from)) return failWith(ERROR_FILE_NOT_FOUND, false);
  }
  for (const auto& [from, to] : copies) {
    m.files.createDirectories(folderOf(to));
    m.files.writeFile(to, *m.files.readFile(from));
  }

  // Class keys and Driver values name the class in capitals, whatever the INF's spelling.
  const std::string classGuid = sim::upper(inf.value("Version", "ClassGUID"));
  const std::string className = inf.value("Version", "Class");
  const std::string classKeyName = m.isWindows9x() ? className : classGuid;
  if (device.driver.empty()) {
    device.driver = newDriverKey(m, classKeyName);
    m.registry.setString(m.classRoot() + "\\" + classKeyName, "Class", className);
  }
  device.classGuid = classGuid;
  const std::string driverKey = m.driverKeyPath(device);
  m.registry.createKey(driverKey);
  m.registry.setString(driverKey, "InfPath", nameOf(storedInf));
  m.registry.setString(driverKey, "InfSection", section);
  m.registry.setString(driverKey, "ProviderName", inf.value("Version", "Provider"));
  m.registry.setString(driverKey, "DriverDesc", description);
  m.registry.setString(driverKey, "MatchingDeviceId", lower(matchingId));
  auto version = inf.section("Version");
  for (const auto& line : version) {
    if (sim::iequals(line.key, "DriverVer") && line.fields.size() > 1) {
      m.registry.setString(driverKey, "DriverDate", line.fields[0]);
      m.registry.setString(driverKey, "DriverVersion", line.fields[1]);
    }
  }
  for (const auto& part : inf.values(section, "AddReg")) {
    for (const auto& line : inf.section(part)) addRegLine(m, line, driverKey);
  }
  if (!m.isWindows9x()) {
    for (const auto& line : inf.section(section + ".Services")) {
      if (!sim::iequals(line.key, "AddService") || line.fields.size() < 3) continue;
      const std::string& name = line.fields[0];
      DWORD flags = static_cast<DWORD>(std::strtoul(line.fields[1].c_str(), nullptr, 0));
      std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name;
      m.registry.createKey(key);
      const std::string& service = line.fields[2];
      auto number = [&](const char* value) {
        return static_cast<DWORD>(std::strtoul(inf.value(service, value).c_str(), nullptr, 0));
      };
      m.registry.setDword(key, "Type", number("ServiceType"));
      m.registry.setDword(key, "Start", number("StartType"));
      m.registry.setDword(key, "ErrorControl", number("ErrorControl"));
      m.registry.setValue(key, "ImagePath", REG_EXPAND_SZ, [&] {
        std::string path = imagePath(inf.value(service, "ServiceBinary"));
        return std::vector<uint8_t>(path.begin(), path.end() + 1);
      }());
      if (!inf.value(service, "DisplayName").empty()) {
        m.registry.setString(key, "DisplayName", inf.value(service, "DisplayName"));
      }
      if (!inf.value(service, "LoadOrderGroup").empty()) {
        m.registry.setString(key, "Group", inf.value(service, "LoadOrderGroup"));
      }
      if (flags & 0x2) device.service = name;  // SPSVCINST_ASSOCSERVICE: the device's function driver
    }
  }
  // Device interfaces the INF declares: DeviceClasses\{guid}\##?#<instance ID, '\' as '#'>#{guid}\#<reference>.
  for (const auto& line : inf.section(section + ".Interfaces")) {
    if (!sim::iequals(line.key, "AddInterface") || line.fields.empty()) continue;
    std::string interfaceGuid = lower(line.fields[0]);
    std::string symbolic = "##?#" + device.instanceId + "#" + interfaceGuid;
    for (char& c : symbolic) {
      if (c == '\\') c = '#';
    }
    std::string key =
        "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + interfaceGuid + "\\" + symbolic;
    m.registry.setString(key, "DeviceInstance", device.instanceId);
    std::string reference = line.fields.size() > 1 ? line.fields[1] : "";
    m.registry.createKey(key + "\\#" + reference);
    if (line.fields.size() > 2 && !line.fields[2].empty()) {
      for (const auto& part : inf.values(line.fields[2], "AddReg")) {
        for (const auto& reg : inf.section(part)) addRegLine(m, reg, key + "\\#" + reference + "\\Device Parameters");
      }
    }
  }
  m.writeEnumKey(device);
  std::string enumKey = m.enumKeyPath(device);
  m.registry.setString(enumKey, "Class", className);
  m.registry.setString(enumKey, "DeviceDesc", description);
  m.registry.setString(enumKey, "Mfg", inf.value("Version", "Provider"));
  m.deviceLog.push_back("install " + device.instanceId + " " + nameOf(storedInf) + " " + section);
  return true;
}

// The models line of the INF that serves a device best: the device's hardware IDs in order, each looked up in
// every models section. False when the INF has no driver for the device.
bool findModel(const Inf& inf, const sim::Device& device, std::string& model, std::string& description,
               std::string& matchingId) {
  for (const auto& id : device.hardwareIds) {
    for (const auto& manufacturer : inf.section("Manufacturer")) {
      if (manufacturer.fields.empty()) continue;
      std::vector<std::string> names = {manufacturer.fields[0]};
      for (size_t i = 1; i < manufacturer.fields.size(); ++i) {
        names.push_back(manufacturer.fields[0] + "." + manufacturer.fields[i]);
      }
      for (const auto& name : names) {
        for (const auto& line : inf.section(name)) {
          for (size_t i = 1; i < line.fields.size(); ++i) {
            if (sim::iequals(line.fields[i], id)) {
              model = line.fields[0];
              description = line.key;
              matchingId = id;
              return true;
            }
          }
        }
      }
    }
  }
  return false;
}

}  // namespace

// setupapi, linked: the present devices and fixture devices ---------------------------------------------------

namespace win {

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  // The package lists all classes' devices; a class filter or an enumerator is not modelled.
  if (classGuid != nullptr || enumerator != nullptr || !(flags & DIGCF_ALLCLASSES)) {
    return failWith(ERROR_INVALID_FLAGS_, INVALID_HANDLE_VALUE);
  }
  auto set = std::make_unique<DeviceInfoSet>();
  for (const auto& device : m.devices) {
    if (!(flags & DIGCF_PRESENT) || device.present) set->members.push_back(device.instanceId);
  }
  return newSet(std::move(set));
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND) {
  auto set = std::make_unique<DeviceInfoSet>();
  if (classGuid) set->classGuid = guidText(*classGuid);
  return newSet(std::move(set));
}

BOOL SetupDiCreateDeviceInfoA(HDEVINFO handle, PCSTR name, const GUID* classGuid, PCSTR description, HWND,
                              DWORD flags, PSP_DEVINFO_DATA data) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  DeviceInfoSet* set = findSet(handle);
  if (!set) return failWith(ERROR_INVALID_HANDLE, FALSE);
  if (!name || !*name || !classGuid) return failWith(ERROR_INVALID_DEVINST_NAME, FALSE);
  if (data && data->cbSize != sizeof(SP_DEVINFO_DATA)) return failWith(ERROR_INVALID_USER_BUFFER_, FALSE);
  std::string id = name;
  if (flags & DICD_GENERATE_ID) {
    if (id.find('\\') != std::string::npos) return failWith(ERROR_INVALID_DEVINST_NAME, FALSE);
    int n = 0;
    while (m.findDevice("ROOT\\" + sim::upper(id) + "\\" + std::string(4 - std::to_string(n).size(), '0') +
                        std::to_string(n))) {
      ++n;
    }
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%04d", n);
    id = "ROOT\\" + sim::upper(id) + "\\" + suffix;
  } else if (sim::split(id, '\\').size() != 3) {
    return failWith(ERROR_INVALID_DEVINST_NAME, FALSE);
  }
  if (m.findDevice(id) || set->created.count(sim::upper(id))) return failWith(ERROR_DEVINST_ALREADY_EXISTS, FALSE);
  sim::Device device;
  device.instanceId = id;
  device.classGuid = guidText(*classGuid);
  (void)description;
  set->created[sim::upper(id)] = device;
  set->members.push_back(id);
  if (data) {
    data->ClassGuid = *classGuid;
    data->DevInst = m.devInst(id);
    data->Reserved = 0;
  }
  return TRUE;
}

BOOL SetupDiSetDeviceRegistryPropertyA(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, const BYTE* buffer,
                                       DWORD size) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  sim::Device* device = deviceOf(handle, data, m);
  if (!device) return FALSE;
  if (property != SPDRP_HARDWAREID) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  std::vector<std::string> ids;
  std::string text(reinterpret_cast<const char*>(buffer), buffer ? size : 0);
  for (const auto& part : sim::split(text, '\0')) {
    if (part.empty()) break;
    ids.push_back(part);
  }
  device->hardwareIds = ids;
  if (m.findDevice(device->instanceId) == device) m.writeEnumKey(*device);
  return TRUE;
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA data) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  DeviceInfoSet* set = findSet(handle);
  if (!set) return failWith(ERROR_INVALID_HANDLE, FALSE);
  if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return failWith(ERROR_INVALID_USER_BUFFER_, FALSE);
  if (index >= set->members.size()) return failWith(ERROR_NO_MORE_ITEMS, FALSE);
  const std::string& id = set->members[index];
  const sim::Device* device = m.findDevice(id);
  data->ClassGuid = device && !device->classGuid.empty() ? guidOf(device->classGuid) : GUID{};
  data->DevInst = m.devInst(id);
  data->Reserved = 0;
  return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO handle, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                       PBYTE buffer, DWORD size, PDWORD required) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  const sim::Device* device = deviceOf(handle, data, m);
  if (!device) return FALSE;
  if (device->propertyError) return failWith(device->propertyError, FALSE);
  std::string bytes;
  DWORD kind = REG_SZ;
  if (property == SPDRP_HARDWAREID) {
    if (device->hardwareIds.empty()) return failWith(ERROR_INVALID_DATA, FALSE);
    bytes = multiText(device->hardwareIds);
    kind = REG_MULTI_SZ;
  } else if (property == SPDRP_CLASSGUID && !device->classGuid.empty()) {
    bytes = device->classGuid + '\0';
  } else if (property == SPDRP_DRIVER && !device->driver.empty()) {
    bytes = device->driver + '\0';
  } else if (property == SPDRP_SERVICE && !device->service.empty()) {
    bytes = device->service + '\0';
  } else {
    return failWith(ERROR_INVALID_DATA, FALSE);
  }
  if (type) *type = kind;
  if (required) *required = static_cast<DWORD>(bytes.size());
  if (!buffer || size < bytes.size()) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(buffer, bytes.data(), bytes.size());
  return TRUE;
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO handle, PSP_DEVINFO_DATA data, PSTR id, DWORD size, PDWORD required) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  const sim::Device* device = deviceOf(handle, data, m);
  if (!device) return FALSE;
  if (required) *required = static_cast<DWORD>(device->instanceId.size() + 1);
  if (!id || size < device->instanceId.size() + 1) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
  sim::copyCut(device->instanceId, id, size);
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
  std::lock_guard guard(setsMutex);
  if (sets().erase(handle) == 0) return failWith(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

BOOL SetupDiRemoveDevice(HDEVINFO handle, PSP_DEVINFO_DATA data) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  DeviceInfoSet* set = nullptr;
  sim::Device* device = deviceOf(handle, data, m, &set);
  if (!device) return FALSE;
  if (set->created.count(sim::upper(device->instanceId))) return failWith(ERROR_NO_SUCH_DEVINST, FALSE);
  if (subtreeVetoes(m, *device)) return failWith(ERROR_ACCESS_DENIED, FALSE);
  removeSubtree(m, device->instanceId);
  return TRUE;
}

BOOL SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO handle, PSP_DEVINFO_DATA data) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (function == DIF_REMOVE) return SetupDiRemoveDevice(handle, data);
  if (function != DIF_REGISTERDEVICE) return failWith(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
  DeviceInfoSet* set = nullptr;
  sim::Device* device = deviceOf(handle, data, m, &set);
  if (!device) return FALSE;
  auto created = set->created.find(sim::upper(device->instanceId));
  if (created == set->created.end()) return failWith(ERROR_DEVINST_ALREADY_EXISTS, FALSE);
  // A registered root-enumerated device is a present node of its class, without a driver.
  sim::Device node = created->second;
  set->created.erase(created);
  m.addDevice(node);
  m.deviceLog.push_back("register " + node.instanceId);
  return TRUE;
}

}  // namespace win

// setupapi and newdev, loaded by name ------------------------------------------------------------------------

namespace sim::api {

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA data, PSTR id, DWORD size, PDWORD needed) {
  return win::SetupDiGetDeviceInstanceIdA(set, data, id, size, needed);
}
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags) {
  return win::SetupDiGetClassDevsA(guid, enumerator, parent, flags);
}
BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) { return win::SetupDiDestroyDeviceInfoList(set); }
BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA data) {
  return win::SetupDiEnumDeviceInfo(set, index, data);
}
BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD property, PDWORD type,
                                              PBYTE buffer, DWORD size, PDWORD needed) {
  return win::SetupDiGetDeviceRegistryPropertyA(set, data, property, type, buffer, size, needed);
}
BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA data) {
  return win::SetupDiCallClassInstaller(function, set, data);
}
BOOL WINAPI SetupDiRemoveDevice(HDEVINFO set, PSP_DEVINFO_DATA data) { return win::SetupDiRemoveDevice(set, data); }

BOOL WINAPI SetupCopyOEMInfA(PCSTR source, PCSTR, DWORD mediaType, DWORD style, PSTR destination,
                             DWORD destinationSize, PDWORD required, PSTR* component) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!source || !*source || mediaType > SPOST_URL) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  std::string full = sim::FileSystem::fullPath(source, "C:\\");
  if (full.empty()) return failWith(ERROR_FILE_NOT_FOUND, FALSE);
  std::string stored = copyIntoStore(m, full, style);
  if (stored.empty()) return FALSE;
  if (required) *required = static_cast<DWORD>(stored.size() + 1);
  if (destination) {
    if (destinationSize < stored.size() + 1) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    sim::copyCut(stored, destination, destinationSize);
    if (component) *component = destination + stored.find_last_of('\\') + 1;
  }
  win::SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI SetupDiDeleteDevRegKey(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD, DWORD, DWORD keyType) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  sim::Device* device = deviceOf(set, data, m);
  if (!device) return FALSE;
  std::string key;
  if (keyType == DIREG_DRV)
    key = m.driverKeyPath(*device);
  else if (keyType == DIREG_DEV)
    key = m.enumKeyPath(*device) + "\\Device Parameters";
  else
    return failWith(ERROR_INVALID_FLAGS_, FALSE);
  if (key.empty() || !m.registry.deleteTree(key)) return failWith(ERROR_FILE_NOT_FOUND, FALSE);
  return TRUE;
}

// Interface keys are never deleted one by one on this machine: the package does not do it.
BOOL WINAPI SetupDiDeleteDeviceInterfaceRegKey(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, DWORD) {
  return failWith(ERROR_CALL_NOT_IMPLEMENTED, FALSE);
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND, LPCSTR hardwareId, LPCSTR infPath, DWORD flags, PBOOL reboot) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!hardwareId || !*hardwareId || !infPath || !*infPath) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  if (flags & ~static_cast<DWORD>(INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE)) {
    return failWith(ERROR_INVALID_FLAGS_, FALSE);
  }
  std::string inf = sim::FileSystem::fullPath(infPath, "C:\\");
  auto parsed = inf.empty() ? std::nullopt : loadInf(m, inf);
  if (!parsed) return failWith(ERROR_FILE_NOT_FOUND, FALSE);

  std::vector<std::string> targets;
  for (const auto& device : m.devices) {
    if (!device.present) continue;
    for (const auto& id : device.hardwareIds) {
      if (sim::iequals(id, hardwareId)) {
        targets.push_back(device.instanceId);
        break;
      }
    }
  }
  if (targets.empty()) return failWith(ERROR_NO_SUCH_DEVINST, FALSE);

  bool restart = false;
  bool installedAny = false;
  DWORD error = ERROR_NO_DRIVER_SELECTED;
  std::string stored;
  for (const auto& id : targets) {
    sim::Device* device = m.findDevice(id);
    std::string model, description, matching;
    if (!findModel(*parsed, *device, model, description, matching)) continue;
    // Without the force flag a driver is installed only over a different one.
    if (!(flags & INSTALLFLAG_FORCE) && !device->driver.empty()) {
      auto current = m.registry.getString(m.driverKeyPath(*device), "MatchingDeviceId");
      auto section = m.registry.getString(m.driverKeyPath(*device), "InfSection");
      if (current && section && sim::iequals(*current, matching) &&
          sim::iequals(*section, decoratedSection(m, *parsed, model))) {
        error = ERROR_NO_MORE_ITEMS;
        continue;
      }
    }
    if (stored.empty()) {
      stored = copyIntoStore(m, inf, 0);
      if (stored.empty()) return FALSE;
    }
    if (!installFor(m, *device, *parsed, inf, stored, model, description, matching)) return FALSE;
    installedAny = true;
    restart = restart || device->restartOnInstall;
  }
  if (!installedAny) return failWith(error, FALSE);
  if (reboot) *reboot = restart ? TRUE : FALSE;
  win::SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// cfgmgr32: the device tree -----------------------------------------------------------------------------------

}  // namespace sim::api

namespace {

// A node that is in the tree now: the root, or a present device. Null for the root (which has no record).
bool liveNode(sim::Machine& m, DEVINST node, sim::Device** device) {
  *device = nullptr;
  if (node == sim::kRootDevInst) return true;
  *device = m.deviceAt(node);
  return *device && (*device)->present;
}

bool childOf(const sim::Device& device, const std::string& parent) {
  if (parent.empty()) return device.parent.empty() || sim::iequals(device.parent, sim::kRootDeviceId);
  return sim::iequals(device.parent, parent);
}

}  // namespace

namespace sim::api {

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST node, DEVINSTID_A id, ULONG flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!node) return CR_INVALID_POINTER;
  if (flags & ~0x7u) return CR_INVALID_FLAG;
  if (!id || !*id || sim::iequals(id, sim::kRootDeviceId)) {
    *node = sim::kRootDevInst;
    return CR_SUCCESS;
  }
  const sim::Device* device = m.findDevice(id);
  if (!device || !device->present) return CR_NO_SUCH_DEVNODE;
  *node = m.devInst(device->instanceId);
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Child(PDEVINST child, DEVINST node, ULONG flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!child) return CR_INVALID_POINTER;
  if (flags) return CR_INVALID_FLAG;
  sim::Device* device = nullptr;
  if (!liveNode(m, node, &device)) return CR_INVALID_DEVNODE;
  std::string parent = device ? device->instanceId : std::string();
  for (const auto& other : m.devices) {
    if (other.present && childOf(other, parent)) {
      *child = m.devInst(other.instanceId);
      return CR_SUCCESS;
    }
  }
  return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI CM_Get_Sibling(PDEVINST sibling, DEVINST node, ULONG flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!sibling) return CR_INVALID_POINTER;
  if (flags) return CR_INVALID_FLAG;
  sim::Device* device = nullptr;
  if (!liveNode(m, node, &device)) return CR_INVALID_DEVNODE;
  if (!device) return CR_NO_SUCH_DEVNODE;  // the root has no siblings
  const std::string parent = device->parent;
  bool after = false;
  for (const auto& other : m.devices) {
    if (&other == device) {
      after = true;
      continue;
    }
    if (after && other.present &&
        (sim::iequals(other.parent, parent) || (childOf(other, "") && childOf(*device, "")))) {
      *sibling = m.devInst(other.instanceId);
      return CR_SUCCESS;
    }
  }
  return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI CM_Get_Parent(PDEVINST parent, DEVINST node, ULONG flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!parent) return CR_INVALID_POINTER;
  if (flags) return CR_INVALID_FLAG;
  sim::Device* device = nullptr;
  if (!liveNode(m, node, &device)) return CR_INVALID_DEVNODE;
  if (!device) return CR_NO_SUCH_DEVNODE;
  *parent = childOf(*device, "") ? sim::kRootDevInst : m.devInst(device->parent);
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyA(DEVINST node, ULONG property, PULONG type, PVOID buffer,
                                                   PULONG length, ULONG flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!length || (!buffer && *length)) return CR_INVALID_POINTER;
  if (flags) return CR_INVALID_FLAG;
  sim::Device* device = nullptr;
  if (!liveNode(m, node, &device)) return CR_INVALID_DEVNODE;
  if (device && device->propertyError) return CR_REGISTRY_ERROR;
  std::string bytes;
  ULONG kind = REG_SZ;
  if (!device) return CR_NO_SUCH_VALUE;  // the root node has no properties
  if (property == CM_DRP_HARDWAREID && !device->hardwareIds.empty()) {
    bytes = multiText(device->hardwareIds);
    kind = REG_MULTI_SZ;
  } else if (property == CM_DRP_CLASSGUID && !device->classGuid.empty()) {
    bytes = device->classGuid + '\0';
  } else if (property == CM_DRP_DRIVER && !device->driver.empty()) {
    bytes = device->driver + '\0';
  } else if (property == CM_DRP_SERVICE && !device->service.empty()) {
    bytes = device->service + '\0';
  } else {
    return CR_NO_SUCH_VALUE;
  }
  if (type) *type = kind;
  bool fits = *length >= bytes.size();
  *length = static_cast<ULONG>(bytes.size());
  if (!fits) return CR_BUFFER_SMALL;
  std::memcpy(buffer, bytes.data(), bytes.size());
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST node, ULONG flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (flags & ~0x7u) return CR_INVALID_FLAG;
  sim::Device* device = nullptr;
  if (!liveNode(m, node, &device)) return CR_INVALID_DEVNODE;
  m.deviceLog.push_back("reenumerate " + (device ? device->instanceId : std::string(sim::kRootDeviceId)));
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Disable_DevNode(DEVINST node, ULONG flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (flags & ~0x1u) return CR_INVALID_FLAG;
  sim::Device* device = nullptr;
  if (!liveNode(m, node, &device) || !device) return CR_INVALID_DEVNODE;
  if (device->removalFails) return CR_REMOVE_VETOED;
  m.deviceLog.push_back("disable " + device->instanceId);
  return CR_SUCCESS;
}

// The node and its subtree leave the tree (not present); their registry keys stay.
CONFIGRET WINAPI CM_Remove_SubTree(DEVINST node, ULONG flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (flags & ~0x3u) return CR_INVALID_FLAG;
  sim::Device* device = nullptr;
  if (!liveNode(m, node, &device) || !device) return CR_INVALID_DEVNODE;
  if (subtreeVetoes(m, *device)) return CR_REMOVE_VETOED;
  std::vector<std::string> pending = {device->instanceId};
  while (!pending.empty()) {
    std::string id = pending.back();
    pending.pop_back();
    for (auto& other : m.devices) {
      if (sim::iequals(other.parent, id)) pending.push_back(other.instanceId);
    }
    if (sim::Device* d = m.findDevice(id)) {
      d->present = false;
      m.deviceLog.push_back("remove " + d->instanceId);
    }
  }
  return CR_SUCCESS;
}

// CM_REGISTRY_HARDWARE: the node's enumeration key; CM_REGISTRY_SOFTWARE: its driver key. A node that is not in
// the tree and loses its enumeration key is forgotten.
CONFIGRET WINAPI CM_Delete_DevNode_Key(DEVNODE node, ULONG profile, ULONG flags) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (flags > CM_REGISTRY_SOFTWARE || profile != 0) return CR_INVALID_FLAG;
  sim::Device* device = m.deviceAt(node);
  if (!device) return CR_INVALID_DEVNODE;
  std::string key = flags == CM_REGISTRY_SOFTWARE ? m.driverKeyPath(*device) : m.enumKeyPath(*device);
  if (key.empty() || !m.registry.deleteTree(key)) return CR_REGISTRY_ERROR;
  m.deviceLog.push_back("delete key " + device->instanceId);
  if (flags == CM_REGISTRY_SOFTWARE) {
    device->driver.clear();
  } else if (!device->present) {
    m.forgetDevice(device->instanceId);
  }
  return CR_SUCCESS;
}

}  // namespace sim::api
