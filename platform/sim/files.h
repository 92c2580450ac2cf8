// The files of the simulated machine's drive C:, and the state behind the host's win:: file functions and
// profile-string functions.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/seam/wintypes.h"

namespace sim {

// An in-memory drive C:. Paths are absolute Windows paths ("C:\windows\inf\x.inf"; '/' is taken as '\');
// names compare case-insensitively and keep the case they were created with, as on the platform.
class FileSystem {
 public:
  FileSystem();
  ~FileSystem();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // Building and checking a machine from code. writeFile creates missing parent folders.
  void writeFile(const std::string& path, const std::string& bytes);
  std::optional<std::string> readFile(const std::string& path) const;
  bool exists(const std::string& path) const;
  bool isDirectory(const std::string& path) const;
  void createDirectories(const std::string& path);
  std::vector<std::string> list(const std::string& folder) const;  // entry names in the folder, in name order
  DWORD attributes(const std::string& path) const;                 // INVALID_FILE_ATTRIBUTES when missing

  // Copies a host folder's tree into the folder winFolder (created when missing), and back out.
  bool importHostTree(const std::string& winFolder, const std::string& hostDir, std::string& error);
  bool exportHostTree(const std::string& winFolder, const std::string& hostDir, std::string& error) const;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
