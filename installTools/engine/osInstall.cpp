#include "installTools/engine/osInstall.h"

#include <vector>

#include "installTools/file_Tools/dir.h"
#include "installTools/file_Tools/fileTools.h"

namespace {

// Attributes a stored INF is listed by: read-only, hidden, system, archive.
constexpr DWORD kInfAttributeMask = 39;
constexpr DWORD kDeleteSizeLimit = 0x12000;
constexpr DWORD kChangeSizeLimit = 0x20000;

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

bool Os98_Install::IsDeviceInstalled(const tag_HardwareID&) { return false; }
int Os98_Install::getAllDevicePresent(tag_HardwareID*, int) { return 0; }
bool Os98_Install::RemoveDevice(const tag_HardwareID&) { return false; }
bool Os98_Install::InstallDevice(HWND, const tag_HardwareID&, const char*, DWORD*) { return false; }
bool Os98_Install::InstallINF(const tag_HardwareID&, const char*) { return false; }
bool Os98_Install::RefreshDevice() { return false; }

int Os2K_Install::getAllDevicePresent(tag_HardwareID*, int) { return 0; }
bool Os2K_Install::RemoveDevice(const tag_HardwareID&) { return false; }
bool Os2K_Install::InstallDevice(HWND, const tag_HardwareID&, const char*, DWORD*) { return false; }
bool Os2K_Install::InstallINF(const tag_HardwareID&, const char*) { return false; }
bool Os2K_Install::RefreshDevice() { return false; }

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
