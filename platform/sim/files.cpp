#include "platform/sim/files.h"

namespace sim {
struct FileSystem::Impl {};
FileSystem::FileSystem() : impl_(std::make_unique<Impl>()) {}
FileSystem::~FileSystem() = default;
void FileSystem::createDirectories(const std::string&) {}
bool FileSystem::importHostTree(const std::string&, const std::string&, std::string&) { return true; }
bool FileSystem::exportHostTree(const std::string&, const std::string&, std::string&) const { return true; }
}  // namespace sim
