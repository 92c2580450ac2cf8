// The files of the simulated machine's drive C:, and the state behind the host's win:: file functions and
// profile-string functions.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/seam/wintypes.h"
#include "platform/sim/security.h"

namespace sim {

// An in-memory drive C:. Paths are absolute Windows paths ("C:\windows\inf\x.inf"; '/' is taken as '\');
// names compare case-insensitively and keep the case they were created with, as on the platform.
// Regular files carry their bytes and the attribute bits the platform lets a program set (read-only, hidden,
// system, archive, ...); a newly written file has FILE_ATTRIBUTE_ARCHIVE, as on NTFS and FAT.
class FileSystem {
 public:
  FileSystem();
  ~FileSystem();
  FileSystem(const FileSystem&) = delete;
  FileSystem& operator=(const FileSystem&) = delete;

  // Building and checking a machine from code. writeFile creates missing parent folders and replaces the
  // file's bytes (a read-only file too: this is the test's hand, not a program's).
  void writeFile(const std::string& path, const std::string& bytes);
  std::optional<std::string> readFile(const std::string& path) const;
  bool exists(const std::string& path) const;
  bool isDirectory(const std::string& path) const;
  void createDirectories(const std::string& path);
  std::vector<std::string> list(const std::string& folder) const;  // entry names in the folder, in name order
  DWORD attributes(const std::string& path) const;                 // INVALID_FILE_ATTRIBUTES when missing
  // A file's or folder's security descriptor: the machine's default for files until a program or test sets
  // one; nullopt for a missing path. setSecurity is false for a missing path.
  std::optional<SecurityDescriptor> security(const std::string& path) const;
  bool setSecurity(const std::string& path, const SecurityDescriptor& sd);
  // Every file and folder that has its own descriptor (not the default), with its full path, in tree order.
  std::vector<std::pair<std::string, SecurityDescriptor>> explicitSecurity() const;

  // The file access of the profile-string functions, with the platform's error codes (ERROR_SUCCESS,
  // ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION).
  // load reads a whole file; store creates or replaces one in an existing folder, as a program's
  // CreateFile(CREATE_ALWAYS) + WriteFile would (a read-only file refuses).
  DWORD load(const std::string& path, std::string& bytes) const;
  DWORD store(const std::string& path, const std::string& bytes);

  // The full path a program's path names: '/' turned into '\', repeated separators, "." and ".." resolved,
  // trailing dots and blanks of each name dropped (as the platform does). A relative path is taken from
  // currentFolder ("C:\dir"); a path starting with '\' from the root of C:. Returns "" when the path names
  // another drive or a network share, which this machine does not have.
  static std::string fullPath(const std::string& path, const std::string& currentFolder);

  // Copies a host folder's tree into the folder winFolder (created when missing), and back out.
  // A host file without the owner's write permission comes in read-only, and a read-only file goes out without
  // write permissions; the other attribute bits (hidden, system, archive) are not kept on the host side.
  // Import fails when two host names differ only in case (they would be one name on this drive).
  bool importHostTree(const std::string& winFolder, const std::string& hostDir, std::string& error);
  bool exportHostTree(const std::string& winFolder, const std::string& hostDir, std::string& error) const;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
