#include "installTools/file_Tools/fileTools.h"

#include <cstring>

#include "installTools/securityTools/engineAssert.h"
#include "installTools/securityTools/securityTools.h"

namespace {

std::string trim(const std::string& text, const char* set) {
  auto first = text.find_first_not_of(set);
  if (first == std::string::npos) return {};
  auto last = text.find_last_not_of(set);
  return text.substr(first, last - first + 1);
}

std::string trimBlanks(const std::string& text) { return trim(text, " \t\r\n"); }

std::string windowsFolder() {
  char folder[MAX_PATH] = {};
  UINT n = win::GetWindowsDirectoryA(folder, sizeof folder);
  return n && n < sizeof folder ? std::string(folder, n) : std::string();
}

std::string fileNamePart(const std::string& path) {
  auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A profile value, read with a buffer grown until the value fits.
std::string profileString(const char* section, const char* key, const char* path) {
  std::vector<char> buffer(260);
  for (;;) {
    DWORD n = win::GetPrivateProfileStringA(section, key, "", buffer.data(), static_cast<DWORD>(buffer.size()), path);
    if (n + 1 < buffer.size()) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

bool sameFile(const std::string& a, const std::string& b) {
  return !a.empty() && a.size() == b.size() && FileTools::Upper(a) == FileTools::Upper(b);
}

}  // namespace

std::string FileTools::Upper(std::string text) {
  if (!text.empty()) win::CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

bool FileTools::LoadLines(const char* path, std::vector<std::string>& lines) {
  lines.clear();
  HANDLE file = win::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string bytes(win::GetFileSize(file, nullptr), '\0');
  DWORD read = 0;
  bool ok = bytes.empty() || win::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  win::CloseHandle(file);
  if (!ok) return false;
  bytes.resize(read);
  std::string line;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return true;
}

bool FileTools::SaveLines(const char* path, const std::vector<std::string>& lines) {
  std::string bytes;
  for (const auto& line : lines) bytes += line + "\r\n";
  HANDLE file = win::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = bytes.empty() || win::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  win::CloseHandle(file);
  return ok && written == bytes.size();
}

std::vector<std::string> FileTools::SectionLines(const char* path, const char* section) {
  std::vector<std::string> lines;
  std::vector<std::string> section_;
  if (!LoadLines(path, lines)) return section_;
  std::string wanted = Upper(section ? section : "");
  bool inside = false;
  for (const auto& raw : lines) {
    std::string line = trimBlanks(raw);
    if (!line.empty() && line[0] == '[') {
      auto close = line.find(']');
      if (inside) break;
      inside = close != std::string::npos && Upper(trimBlanks(line.substr(1, close - 1))) == wanted;
      continue;
    }
    if (inside && !line.empty()) section_.push_back(line);
  }
  return section_;
}

std::string FileTools::FullPath(const char* path) {
  char full[MAX_PATH * 2];
  DWORD n = win::GetFullPathNameA(path, sizeof full, full, nullptr);
  return n && n < sizeof full ? std::string(full, n) : std::string();
}

bool FileTools::InfMatchesHardware(const tag_HardwareID* table, int count, const char* infPath) {
  if (!table || count <= 0 || !infPath) return false;
  // The models section: the first non-empty value of the "Manufacturer" section.
  std::string models;
  std::vector<char> keys(4096);
  for (;;) {
    DWORD n = win::GetPrivateProfileStringA("Manufacturer", nullptr, "", keys.data(), static_cast<DWORD>(keys.size()),
                                            infPath);
    if (n + 2 < keys.size()) break;
    keys.resize(keys.size() * 2);
  }
  for (const char* key = keys.data(); *key && models.empty(); key += std::strlen(key) + 1) {
    std::string value = profileString("Manufacturer", key, infPath);
    if (!value.empty()) models = value;
  }
  if (models.empty()) return false;
  std::vector<std::string> lines;
  ReadModelsSection(infPath, models.c_str(), lines);
  for (const auto& line : lines) {
    std::string text = trimBlanks(line);
    if (text.empty()) continue;
    tag_HardwareID parsed{};
    if (!ParseHardwareIDText(Upper(text).c_str(), parsed)) continue;
    for (int i = 0; i < count; ++i) {
      const tag_HardwareID& record = table[i];
      if ((record.nBusType == HWID_PCI || record.nBusType == HWID_USB) &&
          (record.nVendorID == 0 || record.nDeviceID == 0)) {
        continue;  // names no device
      }
      if (record.nBusType == parsed.nBusType && record.nVendorID == parsed.nVendorID &&
          record.nDeviceID == parsed.nDeviceID) {
        return true;
      }
    }
  }
  return false;
}

bool FileTools::InfContainsText(const char* text, const char* infPath) {
  if (!text || !infPath) return false;
  std::string wanted = Upper(text);
  std::vector<std::string> lines;
  LoadLines(infPath, lines);
  for (const auto& line : lines) {
    if (Upper(line).find(wanted) != std::string::npos) return true;
  }
  return false;
}

void FileTools::ReadModelsSection(const char* infPath, const char* section, std::vector<std::string>& out) {
  std::vector<std::string> lines;
  if (!infPath || !section || !LoadLines(infPath, lines)) return;
  std::string name = Upper(section);
  bool found = false;
  for (const auto& raw : lines) {
    std::string line = trimBlanks(Upper(raw));
    if (!line.empty() && line[0] == ';') continue;
    bool brackets = line.find('[') != std::string::npos && line.find(']') != std::string::npos;
    if (!found) {
      found = brackets && line.find(name) != std::string::npos;
      continue;
    }
    if (brackets) return;
    if (!line.empty()) out.push_back(line);
  }
}

void FileTools::OpenToCurrentUser(const char* path) {
  if (!m_bNT5 || !m_pSecurity || !path) return;
  if (!g_fnGetFileSecurity || !g_fnSetFileSecurity) return;
  DWORD needed = 0;
  if (!g_fnGetFileSecurity(path, DACL_SECURITY_INFORMATION, nullptr, 0, &needed) &&
      win::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return;
  }
  if (needed == 0) return;
  std::vector<uint8_t> old(needed);
  if (!g_fnGetFileSecurity(path, DACL_SECURITY_INFORMATION, old.data(), needed, &needed)) return;
  SECURITY_DESCRIPTOR fresh;
  PACL acl = nullptr;
  if (m_pSecurity->GrantFullAccess(&fresh, old.data(), GENERIC_ALL, &acl)) {
    g_fnSetFileSecurity(path, DACL_SECURITY_INFORMATION, &fresh);
  }
  SecurityTools::FreeAcl(acl);
}

bool FileTools::CommentOutCopyFiles(const char* infPath) {
  if (!infPath) return true;
  OpenToCurrentUser(infPath);
  DWORD attributes = win::GetFileAttributesA(infPath);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    win::SetFileAttributesA(infPath, FILE_ATTRIBUTE_NORMAL);
  }
  std::vector<std::string> lines;
  if (!LoadLines(infPath, lines)) return true;
  bool changed = false;
  for (auto& line : lines) {
    auto at = Upper(trimBlanks(line)).find("COPYFILES");
    if (at != std::string::npos && at < 4) {
      line = ";" + line;
      changed = true;
    }
  }
  if (changed) SaveLines(infPath, lines);
  return true;
}

bool FileTools::DeleteProtectedFile(const char* path) {
  if (!path) return false;
  OpenToCurrentUser(path);
  DWORD attributes = win::GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
    win::SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  }
  return win::DeleteFileA(path) || win::GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool FileTools::ReplaceFile(const std::string& source, const std::string& destination) {
  // A file copied onto itself stays as it is.
  if (sameFile(FullPath(source.c_str()), FullPath(destination.c_str()))) return true;
  DWORD attributes = win::GetFileAttributesA(destination.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (attributes & FILE_ATTRIBUTE_READONLY) win::SetFileAttributesA(destination.c_str(), FILE_ATTRIBUTE_NORMAL);
    win::DeleteFileA(destination.c_str());
  }
  return win::CopyFileA(source.c_str(), destination.c_str(), TRUE) != FALSE;
}

bool FileTools::InstallInfFiles(const tag_HardwareID& wanted, const char* infPath) {
  ENGINE_REQUIRE(infPath, "szInfFile", false);
  std::string source = FullPath(infPath);
  if (source.empty()) return false;
  std::string copy = windowsFolder() + "\\INF\\" + fileNamePart(source);
  if (!ReplaceFile(source, copy)) return false;
  win::WritePrivateProfileStringA("Version", "CatalogFile", nullptr, copy.c_str());

  std::string models;
  for (const auto& line : SectionLines(copy.c_str(), "Manufacturer")) {
    auto equals = line.find('=');
    auto comment = line.find(';');
    if (equals == std::string::npos || comment < equals) continue;
    models = trim(line.substr(equals + 1, comment == std::string::npos ? std::string::npos : comment - equals - 1),
                  kNameTrimSet);
    if (!models.empty()) break;
  }
  if (models.empty()) return false;

  bool result = false;
  std::string copyFiles;
  bool matched = false;
  for (const auto& line : SectionLines(copy.c_str(), models.c_str())) {
    auto equals = line.find('=');
    auto comment = line.find(';');
    if (equals == std::string::npos || comment < equals) continue;
    std::string rest = line.substr(equals + 1);
    auto comma = rest.find(',');
    if (comma == std::string::npos) continue;
    std::string section = trim(rest.substr(0, comma), kNameTrimSet);
    std::string id = rest.substr(comma + 1);
    id = trim(id.substr(0, id.find(';')), kNameTrimSet);
    tag_HardwareID candidate{};
    candidate.nBusType = HWID_TEXT;
    if (id.size() > kHardwareIdTextMax) continue;
    std::memcpy(candidate.szHardwareID, id.c_str(), id.size());
    if (!HardwareIDsEqual(wanted, candidate)) continue;
    matched = true;
    copyFiles = profileString(section.c_str(), "CopyFiles", copy.c_str());
    if (!copyFiles.empty()) {
      result = win::WritePrivateProfileStringA(section.c_str(), "CopyFiles", nullptr, copy.c_str()) != FALSE;
    }
    break;
  }
  if (!matched || !result) return false;
  std::string list = copyFiles.substr(0, copyFiles.find(';'));
  size_t start = 0;
  for (;;) {
    auto comma = list.find(',', start);
    std::string part =
        trim(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start), kNameTrimSet);
    if (!part.empty() && !CopyFilesSection(part.c_str(), source.c_str())) result = false;
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return result;
}

bool FileTools::CopyFilesSection(const char* section, const char* infPath) {
  ENGINE_REQUIRE(infPath, "szInfFile", false);
  ENGINE_REQUIRE(section, "szSection", false);
  std::string source = FullPath(infPath);
  std::string folder = source.substr(0, source.size() - fileNamePart(source).size());
  bool result = true;
  for (const auto& line : SectionLines(source.c_str(), section)) {
    std::string name = trim(line.substr(0, line.find(';')), kNameTrimSet);
    if (name.empty()) continue;
    if (!CopyToDrivers((folder + name).c_str())) result = false;
  }
  return result;
}

bool FileTools::CopyToDrivers(const char* filePath) {
  ENGINE_REQUIRE(filePath, "szCopyFileName", false);
  std::string source = FullPath(filePath);
  if (source.empty()) return false;
  return ReplaceFile(source, windowsFolder() + "\\System32\\Drivers\\" + fileNamePart(source));
}
