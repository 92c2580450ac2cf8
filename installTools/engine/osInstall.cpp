#include "installTools/engine/osInstall.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "installTools/file_Tools/dir.h"
#include "installTools/file_Tools/fileTools.h"

namespace {

// Attributes a stored INF is listed by: read-only, hidden, system, archive.
constexpr DWORD kInfAttributeMask = 39;
constexpr DWORD kDeleteSizeLimit = 0x12000;
constexpr DWORD kChangeSizeLimit = 0x20000;
// The buffer a node's hardware-ID list is read into on the Windows 98/Me path.
constexpr ULONG kHardwareIdBuffer = 65536;

// A record's text up to its terminator, never past the field.
std::string textOf(const tag_HardwareID& record) {
  const char* end = static_cast<const char*>(std::memchr(record.szHardwareID, '\0', sizeof record.szHardwareID));
  return std::string(record.szHardwareID, end ? end : record.szHardwareID + sizeof record.szHardwareID);
}

// A file's size, 0 when it cannot be opened.
DWORD fileSize(const std::string& path) {
  HANDLE file = win::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD size = win::GetFileSize(file, nullptr);
  win::CloseHandle(file);
  return size == INVALID_FILE_SIZE ? 0 : size;
}

}  // namespace

// The Windows 98/Me path: the configuration manager's device tree -------------------------------------------

bool Os98_Install::WalkDeviceTree(const std::function<bool(DEVINST, const char*)>& visit) {
  if (!g_fnCM_Locate_DevNode || !g_fnCM_Get_Child || !g_fnCM_Get_Sibling || !g_fnCM_Get_Parent ||
      !g_fnCM_Get_DevNode_Registry_Property) {
    return false;
  }
  DEVINST node = 0;
  if (g_fnCM_Locate_DevNode(&node, nullptr, 0) != CR_SUCCESS) return false;
  std::vector<char> ids(kHardwareIdBuffer);
  for (;;) {
    ULONG length = kHardwareIdBuffer;
    std::fill(ids.begin(), ids.end(), '\0');
    if (g_fnCM_Get_DevNode_Registry_Property(node, CM_DRP_HARDWAREID, nullptr, ids.data(), &length, 0) ==
        CR_SUCCESS) {
      ids.back() = '\0';
      if (!visit(node, ids.data())) return true;
    }
    DEVINST next = 0;
    if (g_fnCM_Get_Child(&next, node, 0) == CR_SUCCESS) {
      node = next;
      continue;
    }
    for (;;) {
      if (g_fnCM_Get_Sibling(&next, node, 0) == CR_SUCCESS) {
        node = next;
        break;
      }
      if (g_fnCM_Get_Parent(&next, node, 0) != CR_SUCCESS) return true;
      node = next;  // its children are done: go on with its sibling
    }
  }
}

bool Os98_Install::IsDeviceInstalled(const tag_HardwareID& record) {
  bool found = false;
  WalkDeviceTree([&](DEVINST, const char* id) {
    found = MatchHardwareIDText(id, record);
    return !found;
  });
  return found;
}

int Os98_Install::getAllDevicePresent(tag_HardwareID* table, int capacity) {
  if (!table || capacity <= 0) return 0;
  int count = 0;
  WalkDeviceTree([&](DEVINST, const char* id) {
    std::string upper = FileTools::Upper(id);
    if (upper.find("PCI\\") == std::string::npos && upper.find("USB\\") == std::string::npos) return true;
    // Parsed upper-cased, as the other family does: the tag search is case-sensitive.
    tag_HardwareID entry{};
    if (ParseHardwareIDText(upper.c_str(), entry)) table[count++] = entry;
    return count < capacity;
  });
  return count;
}

bool Os98_Install::RemoveDevice(const tag_HardwareID& record) {
  if (!g_fnCM_Reenumerate_DevNode || !g_fnCM_Remove_SubTree || !g_fnCM_Delete_DevNode_Key) return false;
  // The matching nodes are collected first: removing a node changes the tree being walked.
  std::vector<DEVINST> matching;
  WalkDeviceTree([&](DEVINST node, const char* id) {
    if (MatchHardwareIDText(id, record)) matching.push_back(node);
    return true;
  });
  bool removed = false;
  for (DEVINST node : matching) {
    g_fnCM_Reenumerate_DevNode(node, 0);
    g_fnCM_Remove_SubTree(node, 0);
    if (g_fnCM_Delete_DevNode_Key(node, 0, CM_REGISTRY_HARDWARE) == CR_SUCCESS) removed = true;
  }
  return removed;
}

bool Os98_Install::InstallINF(const tag_HardwareID& record, const char* infPath) {
  if (!m_pFileTools || !infPath) return false;
  m_pFileTools->InstallInfFiles(record, infPath);
  char folder[MAX_PATH] = {};
  UINT n = win::GetWindowsDirectoryA(folder, sizeof folder);
  if (n == 0 || n >= sizeof folder) return false;
  const std::string inf = std::string(folder) + "\\INF\\";
  bool result = m_pFileTools->DeleteProtectedFile((inf + "Drvdata.bin").c_str());
  if (result) result = m_pFileTools->DeleteProtectedFile((inf + "Drvidx.bin").c_str());
  return result;
}

bool Os98_Install::InstallDevice(HWND, const tag_HardwareID& record, const char* infPath, DWORD*) {
  if (!InstallINF(record, infPath)) return false;
  DEVINST root = 0;
  return g_fnCM_Locate_DevNode && g_fnCM_Locate_DevNode(&root, nullptr, 0) == CR_SUCCESS;
}

bool Os98_Install::RefreshDevice() {
  if (!g_fnCM_Locate_DevNode || !g_fnCM_Reenumerate_DevNode2) return false;
  DEVINST root = 0;
  if (g_fnCM_Locate_DevNode(&root, nullptr, 0) != CR_SUCCESS) return false;
  return g_fnCM_Reenumerate_DevNode2(root, 0) == CR_SUCCESS;
}

// The Windows 2000/XP path: the setup functions -----------------------------------------------------------------

bool Os2K_Install::EnumeratePresentIds(const std::function<Next(HDEVINFO, SP_DEVINFO_DATA&, const char*)>& visit) {
  if (!g_fnSetupDiGetClassDevs || !g_fnSetupDiEnumDeviceInfo || !g_fnSetupDiGetDeviceRegistryProperty ||
      !g_fnSetupDiDestroyDeviceInfoList) {
    return false;
  }
  HDEVINFO set = g_fnSetupDiGetClassDevs(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return false;
  std::vector<char> buffer;
  bool stop = false;
  for (DWORD index = 0; !stop; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!g_fnSetupDiEnumDeviceInfo(set, index, &device)) break;
    DWORD size = 0;
    buffer.clear();
    bool read = false;
    // The list's size is asked first; a list that grows between the calls is asked again.
    for (int attempt = 0; attempt < 4; ++attempt) {
      DWORD needed = 0;
      if (g_fnSetupDiGetDeviceRegistryProperty(set, &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<PBYTE>(buffer.data()),
                                               static_cast<DWORD>(buffer.size()), &needed)) {
        size = std::min<DWORD>(needed, static_cast<DWORD>(buffer.size()));
        read = true;
        break;
      }
      if (win::GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) break;
      buffer.assign(needed, '\0');
    }
    // A device without hardware IDs, or whose list cannot be read, is skipped; the others are still listed.
    if (!read) continue;
    buffer.resize(size);
    buffer.push_back('\0');  // the walk below never runs past the returned size
    for (size_t at = 0; at < size && buffer[at] != '\0';) {
      const char* id = buffer.data() + at;
      Next next = visit(set, device, id);
      if (next == Next::Stop) stop = true;
      if (next != Next::String) break;
      at += std::strlen(id) + 1;
    }
  }
  g_fnSetupDiDestroyDeviceInfoList(set);
  return true;
}

bool Os2K_Install::ParseDeviceHardwareID(tag_HardwareID& record) {
  std::string text = textOf(record);
  auto first = text.find_first_not_of(" \t");
  auto last = text.find_last_not_of(" \t");
  text = first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
  text = FileTools::Upper(text);
  const char* vendorTag = nullptr;
  const char* deviceTag = nullptr;
  if (text.find("USB") != std::string::npos) {
    record.nBusType = HWID_USB;
    vendorTag = "VID_";
    deviceTag = "PID_";
  } else if (text.find("STREAM") != std::string::npos) {
    record.nBusType = HWID_STREAM;
    if (text.find("PCI") != std::string::npos) {
      vendorTag = "VEN_";
      deviceTag = "DEV_";
    }
  } else if (text.find("PCI") != std::string::npos) {
    record.nBusType = HWID_PCI;
    vendorTag = "VEN_";
    deviceTag = "DEV_";
  }
  auto hex4 = [&](const char* tag) -> uint32_t {
    auto at = text.find(tag);
    if (at == std::string::npos || at + 4 + 4 > text.size()) return 0;
    uint32_t value = 0;
    for (size_t i = at + 4; i < at + 8; ++i) {
      char c = text[i];
      int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return 0;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    return value;
  };
  record.nVendorID = vendorTag ? hex4(vendorTag) : 0;
  record.nDeviceID = deviceTag ? hex4(deviceTag) : 0;
  return record.nVendorID != 0 && record.nDeviceID != 0;
}

int Os2K_Install::getAllDevicePresent(tag_HardwareID* table, int capacity) {
  if (!table || capacity <= 0) return 0;
  int count = 0;
  EnumeratePresentIds([&](HDEVINFO, SP_DEVINFO_DATA&, const char* id) {
    tag_HardwareID entry{};
    entry.nBusType = HWID_TEXT;
    std::strncpy(entry.szHardwareID, id, kHardwareIdTextMax);
    if (ParseDeviceHardwareID(entry)) table[count++] = entry;
    return count < capacity ? Next::String : Next::Stop;
  });
  return count;
}

bool Os2K_Install::FindPresentHardwareID(const tag_HardwareID& record, std::string& found) {
  bool matched = false;
  EnumeratePresentIds([&](HDEVINFO, SP_DEVINFO_DATA&, const char* id) {
    if (!MatchHardwareIDText(id, record)) return Next::String;
    found = id;
    matched = true;
    return Next::Stop;
  });
  return matched;
}

bool Os2K_Install::RemoveDevice(const tag_HardwareID& record) {
  if (!g_fnSetupDiRemoveDevice) return false;
  bool removed = false;
  EnumeratePresentIds([&](HDEVINFO set, SP_DEVINFO_DATA& device, const char* id) {
    if (!MatchHardwareIDText(id, record)) return Next::String;
    if (g_fnSetupDiRemoveDevice(set, &device)) removed = true;
    return Next::Device;
  });
  return removed;
}

bool Os2K_Install::InstallDevice(HWND parent, const tag_HardwareID& record, const char* infPath, DWORD* reboot) {
  if (!infPath) return false;
  std::string found;
  if (!FindPresentHardwareID(record, found)) return InstallINF(record, infPath);
  if (!g_fnUpdateDriverForPlugAndPlayDevices) return false;
  // Windows 2000 installs only for the exact string the device reports.
  std::string hardwareId =
      m_osVersionCode == 2000 ? found : textOf(record);
  return g_fnUpdateDriverForPlugAndPlayDevices(parent, hardwareId.c_str(), infPath, INSTALLFLAG_FORCE,
                                               reinterpret_cast<PBOOL>(reboot)) != FALSE;
}

bool Os2K_Install::InstallINF(const tag_HardwareID&, const char* infPath) {
  if (!infPath || !g_fnSetupCopyOEMInf) return false;
  if (g_fnSetupCopyOEMInf(infPath, nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) return true;
  win::GetLastError();  // read, not reported further
  return false;
}

bool Os2K_Install::RefreshDevice() { return Os98_Install::RefreshDevice(); }

std::string Os98_Install::CompanionOf(const std::string& infPath) {
  std::string path = FileTools::Upper(infPath);
  auto slash = path.find_last_of('\\');
  auto dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ".pnf";
  return path.substr(0, dot + 1) + "pnf";
}

void Os98_Install::ForEachInf(DWORD limit, const std::function<void(const std::string&)>& act) {
  char folder[MAX_PATH] = {};
  UINT n = win::GetWindowsDirectoryA(folder, sizeof folder);
  if (n == 0 || n >= sizeof folder) return;
  for (const char* pattern : {"\\Inf\\*.inf", "\\Inf\\Other\\*.inf"}) {
    Dir dir((std::string(folder) + pattern).c_str(), kInfAttributeMask);
    for (const auto& path : dir.Files()) {
      DWORD size = fileSize(path);
      if (size < limit) act(FileTools::Upper(path));
    }
  }
}

bool Os98_Install::DelInfFile(const tag_HardwareID* table, int count) {
  if (!m_pFileTools || !table || count <= 0) return true;
  ForEachInf(kDeleteSizeLimit, [&](const std::string& path) {
    if (!m_pFileTools->InfMatchesHardware(table, count, path.c_str())) return;
    m_pFileTools->DeleteProtectedFile(path.c_str());
    m_pFileTools->DeleteProtectedFile(CompanionOf(path).c_str());
  });
  return true;
}

bool Os98_Install::disableInfFileCopyFilesSection(const tag_HardwareID* table, int count) {
  if (!m_pFileTools || !table || count <= 0) return true;
  ForEachInf(kChangeSizeLimit, [&](const std::string& path) {
    if (m_pFileTools->InfMatchesHardware(table, count, path.c_str())) m_pFileTools->CommentOutCopyFiles(path.c_str());
  });
  return true;
}

bool Os98_Install::disableInfFileCopyFilesSectionByString(const char* text) {
  if (!m_pFileTools || !text || !*text) return true;  // an empty text would match every stored INF
  ForEachInf(kChangeSizeLimit, [&](const std::string& path) {
    if (m_pFileTools->InfContainsText(text, path.c_str())) m_pFileTools->CommentOutCopyFiles(path.c_str());
  });
  return true;
}

bool Os98_Install::deleteInfFile__ByString(const char* text) {
  if (!m_pFileTools || !text || !*text) return true;  // an empty text would match every stored INF
  ForEachInf(kChangeSizeLimit, [&](const std::string& path) {
    if (m_pFileTools->InfContainsText(text, path.c_str())) m_pFileTools->DeleteProtectedFile(path.c_str());
  });
  return true;
}
