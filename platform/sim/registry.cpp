#include "platform/sim/registry.h"

namespace sim {
struct Registry::Impl {};
Registry::Registry() : impl_(std::make_unique<Impl>()) {}
Registry::~Registry() = default;
void Registry::createKey(const std::string&) {}
bool Registry::importRegText(const std::string&, std::string&) { return true; }
std::string Registry::exportRegText() const { return "REGEDIT4\r\n"; }
}  // namespace sim
