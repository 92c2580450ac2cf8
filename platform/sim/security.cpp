// Security descriptors, tokens and their binary forms on the simulated machine.
#include "platform/sim/security.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/sim/text.h"

namespace sim {

namespace {

constexpr DWORD kKeyAll = 0xF003F;     // KEY_ALL_ACCESS
constexpr DWORD kKeyRead = 0x20019;    // KEY_READ
constexpr DWORD kFileAll = 0x1F01FF;   // FILE_ALL_ACCESS
constexpr DWORD kFileRead = 0x1200A9;  // FILE_GENERIC_READ | FILE_EXECUTE

SecurityDescriptor inheritedDefault(DWORD all, DWORD read) {
  SecurityDescriptor sd;
  sd.owner = kSidAdministrators;
  sd.group = kSidSystem;
  sd.control = SE_DACL_AUTO_INHERITED;
  const BYTE inherited = INHERITED_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  sd.dacl = {{ACCESS_ALLOWED_ACE_TYPE, inherited, all, kSidAdministrators},
             {ACCESS_ALLOWED_ACE_TYPE, inherited, all, kSidSystem},
             {ACCESS_ALLOWED_ACE_TYPE, inherited, read, kSidUsers}};
  return sd;
}

template <typename T>
T readAt(const uint8_t* base, size_t offset) {
  T value;
  std::memcpy(&value, base + offset, sizeof value);
  return value;
}

}  // namespace

SecurityDescriptor SecurityDescriptor::defaultForKey() { return inheritedDefault(kKeyAll, kKeyRead); }
SecurityDescriptor SecurityDescriptor::defaultForFile() { return inheritedDefault(kFileAll, kFileRead); }

std::string SecurityDescriptor::text() const {
  std::ostringstream out;
  out << "O:" << owner << ";G:" << group << ";D:";
  if (!daclPresent) {
    out << "-";
  } else if (daclNull) {
    out << "NULL";
  } else {
    char entry[160];
    for (const Ace& ace : dacl) {
      std::snprintf(entry, sizeof entry, "(%c,%X,%X,%s)", ace.type == ACCESS_DENIED_ACE_TYPE ? 'D' : 'A', ace.flags,
                    static_cast<unsigned>(ace.mask), ace.sid.c_str());
      out << entry;
    }
  }
  char controlText[16];
  std::snprintf(controlText, sizeof controlText, "%X", static_cast<unsigned>(control));
  out << ";C:" << controlText;
  return out.str();
}

bool SecurityDescriptor::parse(const std::string& text, SecurityDescriptor& into) {
  SecurityDescriptor sd;
  sd.daclPresent = false;
  for (const std::string& part : split(text, ';')) {
    if (part.size() < 2 || part[1] != ':') return false;
    std::string body = part.substr(2);
    switch (part[0]) {
      case 'O':
        if (!body.empty() && sidBytes(body).empty()) return false;
        sd.owner = body;
        break;
      case 'G':
        if (!body.empty() && sidBytes(body).empty()) return false;
        sd.group = body;
        break;
      case 'C': {
        char* end = nullptr;
        unsigned long bits = std::strtoul(body.c_str(), &end, 16);
        if (body.empty() || *end || bits > 0xFFFF) return false;
        sd.control = static_cast<WORD>(bits);
        break;
      }
      case 'D':
        sd.daclPresent = body != "-";
        sd.daclNull = body == "NULL";
        if (!sd.daclPresent || sd.daclNull) break;
        while (!body.empty()) {
          auto close = body.find(')');
          if (body[0] != '(' || close == std::string::npos) return false;
          auto fields = split(body.substr(1, close - 1), ',');
          body = body.substr(close + 1);
          if (fields.size() != 4 || (fields[0] != "A" && fields[0] != "D") || sidBytes(fields[3]).empty()) {
            return false;
          }
          char* end1 = nullptr;
          char* end2 = nullptr;
          unsigned long flags = std::strtoul(fields[1].c_str(), &end1, 16);
          unsigned long mask = std::strtoul(fields[2].c_str(), &end2, 16);
          if (fields[1].empty() || fields[2].empty() || *end1 || *end2 || flags > 0xFF) return false;
          sd.dacl.push_back({static_cast<BYTE>(fields[0] == "D" ? ACCESS_DENIED_ACE_TYPE : ACCESS_ALLOWED_ACE_TYPE),
                             static_cast<BYTE>(flags), static_cast<DWORD>(mask), fields[3]});
        }
        break;
      default: return false;
    }
  }
  into = sd;
  return true;
}

Security::Security() {
  accounts = {{kSidAdministrator, "Administrator", "TVSIM", SidTypeUser},
              {kSidStandardUser, "User", "TVSIM", SidTypeUser},
              {kSidAdministrators, "Administrators", "BUILTIN", SidTypeAlias},
              {kSidUsers, "Users", "BUILTIN", SidTypeAlias},
              {kSidEveryone, "Everyone", "", SidTypeWellKnownGroup},
              {kSidSystem, "SYSTEM", "NT AUTHORITY", SidTypeWellKnownGroup},
              {kSidAuthenticatedUsers, "Authenticated Users", "NT AUTHORITY", SidTypeWellKnownGroup}};
  runAsAdministrator();
}

void Security::runAsAdministrator() {
  token.user = kSidAdministrator;
  token.groups = {kSidEveryone, kSidAdministrators, kSidUsers, kSidAuthenticatedUsers};
  token.privileges = {{"SeTakeOwnershipPrivilege", false}, {"SeBackupPrivilege", false},
                      {"SeRestorePrivilege", false},       {"SeDebugPrivilege", false},
                      {"SeShutdownPrivilege", false},      {"SeChangeNotifyPrivilege", true}};
}

void Security::runAsStandardUser() {
  token.user = kSidStandardUser;
  token.groups = {kSidEveryone, kSidUsers, kSidAuthenticatedUsers};
  token.privileges = {{"SeShutdownPrivilege", false}, {"SeChangeNotifyPrivilege", true}};
}

const Account* Security::account(const std::string& sid) const {
  for (const Account& a : accounts) {
    if (a.sid == sid) return &a;
  }
  return nullptr;
}

bool Security::tokenHas(const std::string& sid) const {
  if (sid == token.user) return true;
  for (const auto& group : token.groups) {
    if (group == sid) return true;
  }
  return false;
}

DWORD Security::granted(const SecurityDescriptor& sd, DWORD wanted, DWORD all) const {
  auto map = [all](DWORD mask) { return (mask & GENERIC_ALL) ? (mask & ~GENERIC_ALL) | all : mask; };
  wanted = map(wanted);
  DWORD owner = tokenHas(sd.owner) ? (READ_CONTROL | WRITE_DAC) : 0;
  if (!sd.daclPresent || sd.daclNull) return wanted;
  DWORD allowed = 0;
  DWORD denied = 0;
  for (const Ace& ace : sd.dacl) {
    if ((ace.flags & INHERIT_ONLY_ACE) || !tokenHas(ace.sid)) continue;
    DWORD mask = map(ace.mask) & ~(allowed | denied);
    if (ace.type == ACCESS_DENIED_ACE_TYPE) {
      denied |= mask;
    } else {
      allowed |= mask;
    }
  }
  return wanted & ((allowed | owner) & ~(denied & ~owner));
}

std::vector<uint8_t> sidBytes(const std::string& text) {
  auto parts = split(text, '-');
  if (parts.size() < 3 || parts.size() > 18 || parts[0] != "S" || parts[1] != "1") return {};
  std::vector<uint8_t> bytes(8 + 4 * (parts.size() - 3));
  bytes[0] = 1;
  bytes[1] = static_cast<uint8_t>(parts.size() - 3);
  char* end = nullptr;
  unsigned long long authority = std::strtoull(parts[2].c_str(), &end, 10);
  if (parts[2].empty() || *end || authority > 0xFFFFFFFFFFFFull) return {};
  for (int i = 0; i < 6; ++i) bytes[2 + i] = static_cast<uint8_t>(authority >> (8 * (5 - i)));
  for (size_t i = 3; i < parts.size(); ++i) {
    unsigned long long sub = std::strtoull(parts[i].c_str(), &end, 10);
    if (parts[i].empty() || *end || sub > 0xFFFFFFFFull) return {};
    DWORD value = static_cast<DWORD>(sub);
    std::memcpy(&bytes[8 + 4 * (i - 3)], &value, 4);
  }
  return bytes;
}

bool validSid(const void* sid) {
  if (!sid) return false;
  auto bytes = static_cast<const uint8_t*>(sid);
  return bytes[0] == 1 && bytes[1] <= 15;
}

DWORD sidLength(const void* sid) { return 8 + 4 * static_cast<const uint8_t*>(sid)[1]; }

std::string sidText(const void* sid) {
  if (!validSid(sid)) return {};
  auto bytes = static_cast<const uint8_t*>(sid);
  unsigned long long authority = 0;
  for (int i = 0; i < 6; ++i) authority = (authority << 8) | bytes[2 + i];
  std::string text = "S-1-" + std::to_string(authority);
  for (int i = 0; i < bytes[1]; ++i) text += "-" + std::to_string(readAt<DWORD>(bytes, 8 + 4 * i));
  return text;
}

namespace {

std::vector<uint8_t> aclBytes(const SecurityDescriptor& sd) {
  std::vector<uint8_t> bytes(sizeof(ACL));
  for (const Ace& ace : sd.dacl) {
    auto sid = sidBytes(ace.sid);
    ACE_HEADER header{ace.type, ace.flags, static_cast<WORD>(8 + sid.size())};
    size_t at = bytes.size();
    bytes.resize(at + header.AceSize);
    std::memcpy(&bytes[at], &header, sizeof header);
    std::memcpy(&bytes[at + 4], &ace.mask, 4);
    std::memcpy(&bytes[at + 8], sid.data(), sid.size());
  }
  ACL acl{ACL_REVISION, 0, static_cast<WORD>(bytes.size()), static_cast<WORD>(sd.dacl.size()), 0};
  std::memcpy(bytes.data(), &acl, sizeof acl);
  return bytes;
}

}  // namespace

std::vector<uint8_t> selfRelative(const SecurityDescriptor& sd, SECURITY_INFORMATION parts) {
  std::vector<uint8_t> bytes(sizeof(SECURITY_DESCRIPTOR_RELATIVE));
  SECURITY_DESCRIPTOR_RELATIVE header{SECURITY_DESCRIPTOR_REVISION, 0, SE_SELF_RELATIVE, 0, 0, 0, 0};
  auto append = [&bytes](const std::vector<uint8_t>& part) {
    DWORD at = static_cast<DWORD>(bytes.size());
    bytes.insert(bytes.end(), part.begin(), part.end());
    return at;
  };
  if ((parts & OWNER_SECURITY_INFORMATION) && !sd.owner.empty()) header.Owner = append(sidBytes(sd.owner));
  if ((parts & GROUP_SECURITY_INFORMATION) && !sd.group.empty()) header.Group = append(sidBytes(sd.group));
  if ((parts & DACL_SECURITY_INFORMATION) && sd.daclPresent) {
    header.Control |=
        SE_DACL_PRESENT | (sd.control & (SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERIT_REQ));
    if (!sd.daclNull) header.Dacl = append(aclBytes(sd));
  }
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes;
}

bool readAcl(const ACL* acl, SecurityDescriptor& into, DWORD& error) {
  into.daclPresent = true;
  into.daclNull = acl == nullptr;
  into.dacl.clear();
  if (!acl) return true;
  if (acl->AclRevision < 2 || acl->AclRevision > 4 || acl->AclSize < sizeof(ACL)) {
    error = ERROR_INVALID_ACL;
    return false;
  }
  auto base = reinterpret_cast<const uint8_t*>(acl);
  size_t at = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (at + sizeof(ACE_HEADER) > acl->AclSize) {
      error = ERROR_INVALID_ACL;
      return false;
    }
    auto header = readAt<ACE_HEADER>(base, at);
    if (header.AceSize < 16 || at + header.AceSize > acl->AclSize || !validSid(base + at + 8) ||
        8 + sidLength(base + at + 8) > header.AceSize) {
      error = ERROR_INVALID_ACL;
      return false;
    }
    into.dacl.push_back({header.AceType, header.AceFlags, readAt<DWORD>(base, at + 4), sidText(base + at + 8)});
    at += header.AceSize;
  }
  return true;
}

bool readDescriptor(const void* descriptor, SECURITY_INFORMATION parts, SecurityDescriptor& into, DWORD& error) {
  error = ERROR_INVALID_SECURITY_DESCR;
  if (!descriptor) return false;
  auto base = static_cast<const uint8_t*>(descriptor);
  if (base[0] != SECURITY_DESCRIPTOR_REVISION) return false;
  WORD control = readAt<WORD>(base, 2);
  const void* owner = nullptr;
  const void* group = nullptr;
  const ACL* dacl = nullptr;
  if (control & SE_SELF_RELATIVE) {
    auto header = readAt<SECURITY_DESCRIPTOR_RELATIVE>(base, 0);
    owner = header.Owner ? base + header.Owner : nullptr;
    group = header.Group ? base + header.Group : nullptr;
    dacl = header.Dacl ? reinterpret_cast<const ACL*>(base + header.Dacl) : nullptr;
  } else {
    auto header = readAt<SECURITY_DESCRIPTOR>(base, 0);
    owner = header.Owner;
    group = header.Group;
    dacl = header.Dacl;
  }
  if (parts & OWNER_SECURITY_INFORMATION) {
    if (!owner || !validSid(owner)) {
      error = owner ? ERROR_INVALID_SID : ERROR_INVALID_OWNER;
      return false;
    }
    into.owner = sidText(owner);
  }
  if ((parts & GROUP_SECURITY_INFORMATION) && group) {
    if (!validSid(group)) return false;
    into.group = sidText(group);
  }
  if (parts & DACL_SECURITY_INFORMATION) {
    if (!(control & SE_DACL_PRESENT)) {
      into.daclPresent = false;
      into.daclNull = false;
      into.dacl.clear();
    } else if (!readAcl(dacl, into, error)) {
      return false;
    }
    into.control = control & (SE_DACL_AUTO_INHERITED | SE_DACL_PROTECTED | SE_DACL_AUTO_INHERIT_REQ);
  }
  return true;
}

}  // namespace sim
