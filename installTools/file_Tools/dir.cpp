#include "installTools/file_Tools/dir.h"

Dir::Dir(const char* pattern, DWORD attributeMask) : m_mask(attributeMask) {
  if (!pattern) return;
  std::string text = pattern;
  auto slash = text.find_last_of("\\/");
  if (slash == std::string::npos) return;
  Search(text.substr(0, slash + 1), text.substr(slash + 1));
}

void Dir::Search(const std::string& folder, const std::string& filePattern) {
  std::vector<std::string> subfolders;
  WIN32_FIND_DATAA found;
  HANDLE find = win::FindFirstFileA((folder + "*.*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && found.cFileName[0] != '.') {
        subfolders.push_back(folder + found.cFileName + "\\");
      }
    } while (win::FindNextFileA(find, &found));
    win::FindClose(find);
  }
  find = win::FindFirstFileA((folder + filePattern).c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      // Attributes without any of the bits a program sets (FILE_ATTRIBUTE_NORMAL) count as a match.
      const DWORD settable =
          FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
      if ((found.dwFileAttributes & m_mask) || !(found.dwFileAttributes & settable)) {
        m_files.push_back(folder + found.cFileName);
      }
    } while (win::FindNextFileA(find, &found));
    win::FindClose(find);
  }
  for (const auto& subfolder : subfolders) Search(subfolder, filePattern);
}
