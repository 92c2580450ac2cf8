// Recursive file search: every file under a folder whose name matches a wildcard pattern.
#pragma once

#include <string>
#include <vector>

#include "platform/seam/winapi.h"

// Lists, for a pattern such as "C:\WINDOWS\Inf\*.inf", the full path of every matching file in the pattern's
// folder and, recursively, in its subfolders (names beginning with "." are skipped). In each folder the
// subfolders are collected first, then its matching files are listed, then the subfolders are searched in turn.
// A file is listed when its attributes share a bit with the mask, or when it has no attribute bits at all
// (the system reports FILE_ATTRIBUTE_NORMAL alone).
class Dir {
 public:
  Dir(const char* pattern, DWORD attributeMask);
  const std::vector<std::string>& Files() const { return m_files; }

 private:
  void Search(const std::string& folder, const std::string& filePattern);

  DWORD m_mask;
  std::vector<std::string> m_files;
};
