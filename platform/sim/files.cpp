// Drive C: of the simulated machine and the host's win:: file and folder functions over it.
#include "platform/sim/files.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "platform/seam/winapi.h"
#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {

namespace {

constexpr DWORD kErrorSharingViolation = 32;
constexpr DWORD kErrorInvalidName = 123;
constexpr DWORD kErrorDirectory = 267;
constexpr DWORD kErrorNoAccess = 998;  // a buffer the caller cannot hand over

// The attribute bits a program can set on a file or folder; the others are the file system's own.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | 0x100 /* TEMPORARY */ | 0x1000 /* OFFLINE */ |
                                      0x2000 /* NOT_CONTENT_INDEXED */;
constexpr DWORD kGenericAll = 0x10000000;
constexpr DWORD kFileReadData = 0x0001;
constexpr DWORD kFileWriteData = 0x0002;
constexpr DWORD kFileAppendData = 0x0004;

// One entry of the drive: a folder with its entries, or a regular file with its bytes.
struct Node {
  std::string name;  // as it was created
  bool directory = false;
  DWORD attributes = 0;  // settable bits only; a file without any reports FILE_ATTRIBUTE_NORMAL
  std::string bytes;
  bool deletePending = false;                             // deleted while open: it goes when its last handle closes
  std::map<std::string, std::shared_ptr<Node>> children;  // by upper-case name, which is also listing order
  std::optional<SecurityDescriptor> security;             // none set: the machine's default for files

  DWORD reported() const {
    if (directory) return attributes | FILE_ATTRIBUTE_DIRECTORY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  }
};

// Splits a full path from FileSystem::fullPath ("C:\a\b") into its names.
std::vector<std::string> namesOf(const std::string& full) {
  if (full.size() <= 3) return {};
  return split(full.substr(3), '\\');
}

bool validName(const std::string& name) {
  for (unsigned char c : name) {
    if (c < 32 || std::strchr("<>:\"|?*", c)) return false;
  }
  return true;
}

// An open file: the node it reads and writes (kept alive after a delete), what the opener asked for, and
// the position of the next read or write.
struct OpenFile {
  std::shared_ptr<Node> node;
  bool read = false;
  bool write = false;
  DWORD share = 0;
  size_t position = 0;
};

// A search: the matching entries, taken when it started, and the next one to hand out.
struct Search {
  std::vector<WIN32_FIND_DATAA> entries;
  size_t next = 0;
};

}  // namespace

struct FileSystem::Impl {
  std::shared_ptr<Node> root = std::make_shared<Node>();
  std::map<HANDLE, std::unique_ptr<OpenFile>> open;
  std::map<HANDLE, std::unique_ptr<Search>> searches;

  Impl() {
    root->name = "C:";
    root->directory = true;
  }

  // Where a full path leads: its folder and entry (null when missing), or the error a program gets when a
  // folder on the way is missing or a name is malformed.
  struct Place {
    DWORD error = ERROR_SUCCESS;
    std::shared_ptr<Node> parent;  // null for the root itself
    std::shared_ptr<Node> node;
    std::string leaf;  // the last name as the caller spelled it
  };

  Place locate(const std::string& full) const {
    Place place;
    if (full.empty()) {
      place.error = ERROR_PATH_NOT_FOUND;
      return place;
    }
    auto names = namesOf(full);
    for (const auto& name : names) {
      if (!validName(name)) {
        place.error = kErrorInvalidName;
        return place;
      }
    }
    if (names.empty()) {
      place.node = root;
      return place;
    }
    std::shared_ptr<Node> folder = root;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
      auto it = folder->children.find(upper(names[i]));
      if (it == folder->children.end() || !it->second->directory) {
        place.error = ERROR_PATH_NOT_FOUND;
        return place;
      }
      folder = it->second;
    }
    place.parent = folder;
    place.leaf = names.back();
    auto it = folder->children.find(upper(place.leaf));
    if (it != folder->children.end()) place.node = it->second;
    return place;
  }

  // The error for a missing entry: its folder is there (file not found) or not (path not found).
  static DWORD missing(const Place& place) { return place.error ? place.error : ERROR_FILE_NOT_FOUND; }

  // Whether an open of `node` for the access and sharing asked for collides with the handles already open.
  bool sharingAllows(const Node* node, bool read, bool write, DWORD share) const {
    for (const auto& [handle, file] : open) {
      if (file->node.get() != node) continue;
      if ((read && !(file->share & FILE_SHARE_READ)) || (write && !(file->share & FILE_SHARE_WRITE)) ||
          (file->read && !(share & FILE_SHARE_READ)) || (file->write && !(share & FILE_SHARE_WRITE))) {
        return false;
      }
    }
    return true;
  }

  // Whether every handle open on the node (or inside a folder) lets others delete or rename it.
  bool deleteAllowed(const Node* node) const {
    for (const auto& [handle, file] : open) {
      if (!(file->share & FILE_SHARE_DELETE) && (file->node.get() == node || inside(file->node.get(), node))) {
        return false;
      }
    }
    return true;
  }

  static bool inside(const Node* node, const Node* folder) {
    if (!folder->directory) return false;
    for (const auto& [key, child] : folder->children) {
      if (child.get() == node || inside(node, child.get())) return true;
    }
    return false;
  }

  std::shared_ptr<Node> makeFolders(const std::string& full) {
    std::shared_ptr<Node> folder = root;
    for (const auto& name : namesOf(full)) {
      auto& child = folder->children[upper(name)];
      if (!child) {
        child = std::make_shared<Node>();
        child->name = name;
        child->directory = true;
      }
      folder = child;
    }
    return folder;
  }
};

FileSystem::FileSystem() : impl_(std::make_unique<Impl>()) {}
FileSystem::~FileSystem() = default;

std::string FileSystem::fullPath(const std::string& path, const std::string& currentFolder) {
  std::string p = path;
  std::replace(p.begin(), p.end(), '/', '\\');
  if (p.rfind("\\\\?\\", 0) == 0) p = p.substr(4);
  if (p.rfind("\\\\", 0) == 0) return {};  // a network share
  std::string rest;
  if (p.size() >= 2 && p[1] == ':') {
    if (upperChar(p[0]) != 'C') return {};
    rest = p.substr(2);
    if (rest.empty() || rest[0] != '\\')
      rest = currentFolder.substr(std::min<size_t>(2, currentFolder.size())) + "\\" + rest;
  } else if (!p.empty() && p[0] == '\\') {
    rest = p;
  } else {
    rest = currentFolder.substr(std::min<size_t>(2, currentFolder.size())) + "\\" + p;
  }
  std::vector<std::string> names;
  for (auto name : split(rest, '\\')) {
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (!names.empty()) names.pop_back();
      continue;
    }
    // The platform drops trailing dots and blanks of a name ("a.txt." is "a.txt"); a name of dots alone is
    // kept as it is.
    auto end = name.find_last_not_of(". ");
    if (end != std::string::npos) name.erase(end + 1);
    names.push_back(name);
  }
  std::string full = "C:\\";
  for (size_t i = 0; i < names.size(); ++i) full += (i ? "\\" : "") + names[i];
  return full;
}

void FileSystem::writeFile(const std::string& path, const std::string& bytes) {
  std::string full = fullPath(path, "C:\\");
  auto names = namesOf(full);
  if (names.empty()) return;
  std::string folder = "C:\\";
  for (size_t i = 0; i + 1 < names.size(); ++i) folder += (i ? "\\" : "") + names[i];
  auto parent = impl_->makeFolders(folder);
  auto& node = parent->children[upper(names.back())];
  if (!node || node->directory) {
    node = std::make_shared<Node>();
    node->name = names.back();
  }
  node->bytes = bytes;
  node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
}

std::optional<std::string> FileSystem::readFile(const std::string& path) const {
  auto place = impl_->locate(fullPath(path, "C:\\"));
  if (!place.node || place.node->directory) return std::nullopt;
  return place.node->bytes;
}

bool FileSystem::exists(const std::string& path) const {
  return impl_->locate(fullPath(path, "C:\\")).node != nullptr;
}

bool FileSystem::isDirectory(const std::string& path) const {
  auto place = impl_->locate(fullPath(path, "C:\\"));
  return place.node && place.node->directory;
}

void FileSystem::createDirectories(const std::string& path) { impl_->makeFolders(fullPath(path, "C:\\")); }

std::vector<std::string> FileSystem::list(const std::string& folder) const {
  std::vector<std::string> names;
  auto place = impl_->locate(fullPath(folder, "C:\\"));
  if (!place.node || !place.node->directory) return names;
  for (const auto& [key, child] : place.node->children) names.push_back(child->name);
  return names;
}

DWORD FileSystem::attributes(const std::string& path) const {
  auto place = impl_->locate(fullPath(path, "C:\\"));
  return place.node ? place.node->reported() : INVALID_FILE_ATTRIBUTES;
}

std::optional<SecurityDescriptor> FileSystem::security(const std::string& path) const {
  auto place = impl_->locate(fullPath(path, "C:\\"));
  if (!place.node) return std::nullopt;
  return place.node->security ? *place.node->security : SecurityDescriptor::defaultForFile();
}

bool FileSystem::setSecurity(const std::string& path, const SecurityDescriptor& sd) {
  auto place = impl_->locate(fullPath(path, "C:\\"));
  if (!place.node) return false;
  place.node->security = sd;
  return true;
}

namespace {

void collectSecurity(const Node& node, const std::string& path,
                     std::vector<std::pair<std::string, SecurityDescriptor>>& out) {
  if (node.security) out.push_back({path, *node.security});
  for (const auto& [key, child] : node.children) collectSecurity(*child, path + "\\" + child->name, out);
}

}  // namespace

std::vector<std::pair<std::string, SecurityDescriptor>> FileSystem::explicitSecurity() const {
  std::vector<std::pair<std::string, SecurityDescriptor>> out;
  collectSecurity(*impl_->root, "C:", out);
  return out;
}

DWORD FileSystem::load(const std::string& path, std::string& bytes) const {
  auto place = impl_->locate(fullPath(path, "C:\\"));
  if (!place.node) return Impl::missing(place);
  if (place.node->directory) return ERROR_ACCESS_DENIED;
  // The profile reader lets others read and write while it reads.
  if (!impl_->sharingAllows(place.node.get(), true, false, FILE_SHARE_READ | FILE_SHARE_WRITE)) {
    return kErrorSharingViolation;
  }
  bytes = place.node->bytes;
  return ERROR_SUCCESS;
}

DWORD FileSystem::store(const std::string& path, const std::string& bytes) {
  auto place = impl_->locate(fullPath(path, "C:\\"));
  if (place.error) return place.error;
  if (!place.parent) return ERROR_ACCESS_DENIED;  // the root folder
  if (place.node) {
    if (place.node->directory || (place.node->attributes & FILE_ATTRIBUTE_READONLY)) return ERROR_ACCESS_DENIED;
    if (!impl_->sharingAllows(place.node.get(), false, true, 0)) return kErrorSharingViolation;
  } else {
    place.node = std::make_shared<Node>();
    place.node->name = place.leaf;
    place.parent->children[upper(place.leaf)] = place.node;
  }
  place.node->bytes = bytes;
  place.node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
  return ERROR_SUCCESS;
}

// Host trees ------------------------------------------------------------------------------------------------

namespace {

namespace fs = std::filesystem;

bool importFolder(Node& folder, const fs::path& host, std::string& error) {
  std::error_code ec;
  std::map<std::string, std::string> seen;  // this host folder's names by their upper-case form
  for (fs::directory_iterator it(host, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& entry = it->path();
    std::string name = entry.filename().string();
    auto [other, fresh] = seen.emplace(upper(name), name);
    if (!fresh) {
      error = "host names differ only in case: " + (host / other->second).string() + " and " + entry.string();
      return false;
    }
    // An entry already on the drive keeps its spelling; the host's bytes replace a file's.
    auto& child = folder.children[upper(name)];
    const bool isFolder = it->is_directory(ec);
    if (child && child->directory != isFolder) {
      error = "cannot import " + entry.string() + " over an entry of another kind";
      return false;
    }
    if (!child) {
      child = std::make_shared<Node>();
      child->name = name;
      child->directory = isFolder;
    }
    auto perms = it->status(ec).permissions();
    const bool readOnly = (perms & fs::perms::owner_write) == fs::perms::none;
    if (isFolder) {
      if (!importFolder(*child, entry, error)) return false;
    } else {
      std::ifstream in(entry, std::ios::binary);
      if (!in) {
        error = "cannot read " + entry.string();
        return false;
      }
      std::stringstream bytes;
      bytes << in.rdbuf();
      child->bytes = bytes.str();
      child->attributes = FILE_ATTRIBUTE_ARCHIVE | (readOnly ? FILE_ATTRIBUTE_READONLY : 0);
    }
  }
  if (ec) {
    error = "cannot list " + host.string() + ": " + ec.message();
    return false;
  }
  return true;
}

bool exportFolder(const Node& folder, const fs::path& host, std::string& error) {
  std::error_code ec;
  fs::create_directories(host, ec);
  if (ec) {
    error = "cannot create " + host.string() + ": " + ec.message();
    return false;
  }
  for (const auto& [key, child] : folder.children) {
    fs::path target = host / child->name;
    if (child->directory) {
      if (!exportFolder(*child, target, error)) return false;
      continue;
    }
    fs::remove(target, ec);  // a read-only file of an earlier export cannot be opened for writing
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(child->bytes.data(), static_cast<std::streamsize>(child->bytes.size()));
    out.close();
    if (!out) {
      error = "cannot write " + target.string();
      return false;
    }
    if (child->attributes & FILE_ATTRIBUTE_READONLY) {
      fs::permissions(target, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove, ec);
    }
  }
  return true;
}

}  // namespace

bool FileSystem::importHostTree(const std::string& winFolder, const std::string& hostDir, std::string& error) {
  if (!fs::is_directory(hostDir)) {
    error = "no folder " + hostDir;
    return false;
  }
  std::string full = fullPath(winFolder, "C:\\");
  // The folder and any missing parents are made; only a file in the way refuses the import.
  auto place = impl_->locate(full);
  std::shared_ptr<Node> folder;
  if (!place.node || place.node->directory) folder = impl_->makeFolders(full);
  if (folder && !folder->directory) folder = nullptr;
  if (!folder) {
    error = "cannot import into " + winFolder;
    return false;
  }
  return importFolder(*folder, hostDir, error);
}

bool FileSystem::exportHostTree(const std::string& winFolder, const std::string& hostDir, std::string& error) const {
  auto place = impl_->locate(fullPath(winFolder, "C:\\"));
  if (!place.node || !place.node->directory) {
    error = "no folder " + winFolder + " to export";
    return false;
  }
  return exportFolder(*place.node, hostDir, error);
}

}  // namespace sim

// The win:: file functions ----------------------------------------------------------------------------------

namespace {

using sim::FileSystem;
using sim::Node;
using sim::OpenFile;
using sim::Search;

// A program's current folder on the simulated machine is the folder its module was started from.
std::string currentFolder(const sim::Machine& m) {
  auto slash = m.modulePath.find_last_of("\\/");
  return slash == std::string::npos ? std::string("C:\\") : m.modulePath.substr(0, slash);
}

std::string resolve(const sim::Machine& m, LPCSTR path) {
  if (!path || !*path) return {};
  return FileSystem::fullPath(path, currentFolder(m));
}

// Where a program's path leads. A path ending in a separator names a folder: when a file stands there, the
// platform reports the path as not found.
FileSystem::Impl::Place locateFor(sim::Machine& m, LPCSTR path) {
  auto place = m.files.impl().locate(resolve(m, path));
  if (place.node && !place.node->directory) {
    size_t n = std::strlen(path);
    if (path[n - 1] == '\\' || path[n - 1] == '/') {
      place.node = nullptr;
      place.error = ERROR_PATH_NOT_FOUND;
    }
  }
  return place;
}

// Takes a node out of the tree below `folder`.
bool unlink(Node& folder, const Node* node) {
  for (auto it = folder.children.begin(); it != folder.children.end(); ++it) {
    if (it->second.get() == node) {
      folder.children.erase(it);
      return true;
    }
    if (it->second->directory && unlink(*it->second, node)) return true;
  }
  return false;
}

template <typename T>
T fail(DWORD error, T result) {
  win::SetLastError(error);
  return result;
}

BOOL fail(DWORD error) { return fail<BOOL>(error, FALSE); }

OpenFile* openFile(sim::Machine& m, HANDLE handle) {
  auto& open = m.files.impl().open;
  auto it = open.find(handle);
  return it == open.end() ? nullptr : it->second.get();
}

// The 8.3 name the platform keeps beside a long name is not modelled: cAlternateFileName stays empty, as it
// does for names that are already short.
void fillFound(WIN32_FIND_DATAA& data, const Node& node, const std::string& name) {
  std::memset(&data, 0, sizeof data);
  data.dwFileAttributes = node.reported();
  if (!node.directory) {
    data.nFileSizeLow = static_cast<DWORD>(node.bytes.size());
    data.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(node.bytes.size()) >> 32);
  }
  sim::copyCut(name, data.cFileName, sizeof data.cFileName);
}

// The platform's wildcard match of a last path name: '*' any run of characters, '?' any one character, and a
// mask ending in ".*" also matches a name without an extension ("*.*" is every name). Case-insensitive.
bool matches(const char* mask, const char* name) {
  for (;;) {
    if (*mask == '\0') return *name == '\0';
    if (mask[0] == '.' && mask[1] == '*' && mask[2] == '\0' && *name == '\0') return true;
    if (*mask == '*') {
      for (const char* rest = name;; ++rest) {
        if (matches(mask + 1, rest)) return true;
        if (*rest == '\0') return false;
      }
    }
    if (*name == '\0') return false;
    if (*mask != '?' && sim::upperChar(*mask) != sim::upperChar(*name)) return false;
    ++mask;
    ++name;
  }
}

}  // namespace

namespace win {

HANDLE CreateFileA(LPCSTR fileName, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                   HANDLE) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto& fs = m.files.impl();
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  }
  const bool read = access & (GENERIC_READ | sim::kGenericAll | sim::kFileReadData);
  const bool write = access & (GENERIC_WRITE | sim::kGenericAll | sim::kFileWriteData | sim::kFileAppendData);
  auto place = locateFor(m, fileName);
  if (place.error) return fail(place.error, INVALID_HANDLE_VALUE);
  if (!place.parent) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);  // the root folder
  DWORD lastError = ERROR_SUCCESS;
  if (place.node) {
    Node& node = *place.node;
    if (node.directory || node.deletePending) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (disposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS, INVALID_HANDLE_VALUE);
    const bool replaces = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if ((node.attributes & FILE_ATTRIBUTE_READONLY) && (write || replaces)) {
      return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    }
    // Replacing a hidden or system file needs the caller to ask for those bits again.
    const DWORD kept = node.attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    if (disposition == CREATE_ALWAYS && (kept & ~flags)) return fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
    if (!fs.sharingAllows(&node, read, write || replaces, share)) {
      return fail(sim::kErrorSharingViolation, INVALID_HANDLE_VALUE);
    }
    if (replaces) {
      node.bytes.clear();
      if (disposition == CREATE_ALWAYS) node.attributes = flags & sim::kSettableAttributes;
      node.attributes |= FILE_ATTRIBUTE_ARCHIVE;
    }
    if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) lastError = ERROR_ALREADY_EXISTS;
  } else {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    place.node = std::make_shared<Node>();
    place.node->name = place.leaf;
    place.node->attributes = (flags & sim::kSettableAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    place.parent->children[sim::upper(place.leaf)] = place.node;
  }
  auto file = std::make_unique<OpenFile>();
  file->node = place.node;
  file->read = read;
  file->write = write;
  file->share = share;
  HANDLE handle = file.get();
  fs.open[handle] = std::move(file);
  SetLastError(lastError);
  return handle;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD bytesRead, LPVOID) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  OpenFile* file = openFile(m, handle);
  if (!file) return fail(ERROR_INVALID_HANDLE);
  if (bytesRead) *bytesRead = 0;
  if (!file->read) return fail(ERROR_ACCESS_DENIED);
  if (!buffer && toRead) return fail(sim::kErrorNoAccess);
  const std::string& bytes = file->node->bytes;
  size_t n = file->position < bytes.size() ? std::min<size_t>(toRead, bytes.size() - file->position) : 0;
  if (n) std::memcpy(buffer, bytes.data() + file->position, n);
  file->position += n;
  if (bytesRead) *bytesRead = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD bytesWritten, LPVOID) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  OpenFile* file = openFile(m, handle);
  if (!file) return fail(ERROR_INVALID_HANDLE);
  if (bytesWritten) *bytesWritten = 0;
  if (!file->write) return fail(ERROR_ACCESS_DENIED);
  if (!buffer && toWrite) return fail(sim::kErrorNoAccess);
  std::string& bytes = file->node->bytes;
  if (toWrite) {
    if (bytes.size() < file->position + toWrite) bytes.resize(file->position + toWrite, '\0');
    std::memcpy(bytes.data() + file->position, buffer, toWrite);
    file->position += toWrite;
    file->node->attributes |= FILE_ATTRIBUTE_ARCHIVE;
  }
  if (bytesWritten) *bytesWritten = toWrite;
  return TRUE;
}

DWORD GetFileSize(HANDLE handle, LPDWORD sizeHigh) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  OpenFile* file = openFile(m, handle);
  if (!file) return fail<DWORD>(ERROR_INVALID_HANDLE, INVALID_FILE_SIZE);
  uint64_t size = file->node->bytes.size();
  if (sizeHigh) *sizeHigh = static_cast<DWORD>(size >> 32);
  return static_cast<DWORD>(size);
}

BOOL CloseHandle(HANDLE handle) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto& open = m.files.impl().open;
  auto it = open.find(handle);
  if (it == open.end()) return sim::closeToken(handle) ? TRUE : fail(ERROR_INVALID_HANDLE);
  std::shared_ptr<Node> node = it->second->node;
  open.erase(it);
  if (node->deletePending) {
    bool stillOpen = false;
    for (const auto& [other, file] : open) stillOpen |= file->node == node;
    if (!stillOpen) unlink(*m.files.impl().root, node.get());
  }
  return TRUE;
}

DWORD GetFileAttributesA(LPCSTR fileName) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto place = locateFor(m, fileName);
  if (!place.node) return fail<DWORD>(FileSystem::Impl::missing(place), INVALID_FILE_ATTRIBUTES);
  return place.node->reported();
}

BOOL SetFileAttributesA(LPCSTR fileName, DWORD attributes) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto place = locateFor(m, fileName);
  if (!place.node) return fail(FileSystem::Impl::missing(place));
  place.node->attributes = attributes & sim::kSettableAttributes;
  return TRUE;
}

BOOL DeleteFileA(LPCSTR fileName) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto& fs = m.files.impl();
  auto place = locateFor(m, fileName);
  if (!place.node) return fail(FileSystem::Impl::missing(place));
  if (place.node->directory || place.node->deletePending || (place.node->attributes & FILE_ATTRIBUTE_READONLY)) {
    return fail(ERROR_ACCESS_DENIED);
  }
  if (!fs.deleteAllowed(place.node.get())) return fail(sim::kErrorSharingViolation);
  for (const auto& [handle, file] : fs.open) {
    if (file->node == place.node) {
      place.node->deletePending = true;  // still there, for no new opener, until the last handle closes
      return TRUE;
    }
  }
  place.parent->children.erase(sim::upper(place.leaf));
  return TRUE;
}

BOOL CopyFileA(LPCSTR existingName, LPCSTR newName, BOOL failIfExists) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto& fs = m.files.impl();
  auto from = locateFor(m, existingName);
  if (!from.node) return fail(FileSystem::Impl::missing(from));
  if (from.node->directory) return fail(ERROR_ACCESS_DENIED);
  if (!fs.sharingAllows(from.node.get(), true, false, FILE_SHARE_READ)) return fail(sim::kErrorSharingViolation);
  auto to = locateFor(m, newName);
  if (to.error) return fail(to.error);
  if (!to.parent) return fail(ERROR_ACCESS_DENIED);
  if (to.node) {
    if (failIfExists) return fail(ERROR_FILE_EXISTS);
    if (to.node->directory || (to.node->attributes & FILE_ATTRIBUTE_READONLY)) return fail(ERROR_ACCESS_DENIED);
    // The source is open for reading without sharing writes, so a copy onto itself collides with itself.
    if (to.node == from.node || !fs.sharingAllows(to.node.get(), false, true, 0)) {
      return fail(sim::kErrorSharingViolation);
    }
  } else {
    to.node = std::make_shared<Node>();
    to.node->name = to.leaf;
    to.parent->children[sim::upper(to.leaf)] = to.node;
  }
  to.node->bytes = from.node->bytes;
  to.node->attributes = from.node->attributes | FILE_ATTRIBUTE_ARCHIVE;
  SetLastError(ERROR_SUCCESS);  // as the platform's CreateFile of the target leaves it
  return TRUE;
}

BOOL MoveFileA(LPCSTR existingName, LPCSTR newName) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto& fs = m.files.impl();
  auto from = locateFor(m, existingName);
  if (!from.node) return fail(FileSystem::Impl::missing(from));
  if (!from.parent) return fail(ERROR_ACCESS_DENIED);
  auto to = locateFor(m, newName);
  if (to.error) return fail(to.error);
  if (!to.parent) return fail(ERROR_ACCESS_DENIED);
  // A new name that differs only in case names the same entry: that is a rename.
  if (to.node && to.node != from.node) return fail(ERROR_ALREADY_EXISTS);
  if (from.node->directory &&
      (to.parent == from.node || FileSystem::Impl::inside(to.parent.get(), from.node.get()))) {
    return fail(ERROR_INVALID_PARAMETER);
  }
  if (!fs.deleteAllowed(from.node.get())) return fail(sim::kErrorSharingViolation);
  auto node = from.node;
  from.parent->children.erase(sim::upper(from.leaf));
  node->name = to.leaf;
  to.parent->children[sim::upper(to.leaf)] = node;
  return TRUE;
}

BOOL CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto place = locateFor(m, pathName);
  if (place.error) return fail(place.error);
  if (place.node) return fail(ERROR_ALREADY_EXISTS);
  auto node = std::make_shared<Node>();
  node->name = place.leaf;
  node->directory = true;
  place.parent->children[sim::upper(place.leaf)] = node;
  return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR pathName) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto place = locateFor(m, pathName);
  if (!place.node) return fail(FileSystem::Impl::missing(place));
  if (!place.node->directory) return fail(sim::kErrorDirectory);
  if (!place.node->children.empty()) return fail(ERROR_DIR_NOT_EMPTY);
  if (!place.parent || (place.node->attributes & FILE_ATTRIBUTE_READONLY)) return fail(ERROR_ACCESS_DENIED);
  place.parent->children.erase(sim::upper(place.leaf));
  return TRUE;
}

HANDLE FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA data) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto& fs = m.files.impl();
  if (!data) return fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  std::string asked = fileName ? fileName : "";
  if (asked.empty()) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  // A path ending in a separator names a folder, not entries in it: the platform finds nothing.
  if (asked.back() == '\\' || asked.back() == '/') return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  std::string full = resolve(m, fileName);
  if (full.empty()) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  auto slash = full.find_last_of('\\');
  std::string folderPath = full.substr(0, slash);
  std::string mask = full.substr(slash + 1);
  auto folder = fs.locate(folderPath + (folderPath.size() == 2 ? "\\" : ""));
  if (!folder.node || !folder.node->directory) return fail(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
  auto search = std::make_unique<Search>();
  auto add = [&](const Node& node, const std::string& name) {
    if (!matches(mask.c_str(), name.c_str())) return;
    search->entries.emplace_back();
    fillFound(search->entries.back(), node, name);
  };
  if (folder.parent) {
    // Every folder but the root lists itself and its parent first.
    add(*folder.node, ".");
    add(*folder.parent, "..");
  }
  for (const auto& [key, child] : folder.node->children) add(*child, child->name);
  if (search->entries.empty()) return fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  *data = search->entries[0];
  search->next = 1;
  HANDLE handle = search.get();
  fs.searches[handle] = std::move(search);
  return handle;
}

BOOL FindNextFileA(HANDLE handle, LPWIN32_FIND_DATAA data) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  auto& searches = m.files.impl().searches;
  auto it = searches.find(handle);
  if (it == searches.end()) return fail(ERROR_INVALID_HANDLE);
  Search& search = *it->second;
  if (search.next >= search.entries.size()) return fail(ERROR_NO_MORE_FILES);
  *data = search.entries[search.next++];
  return TRUE;
}

BOOL FindClose(HANDLE handle) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (m.files.impl().searches.erase(handle) == 0) return fail(ERROR_INVALID_HANDLE);
  return TRUE;
}

}  // namespace win
