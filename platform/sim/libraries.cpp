// The system libraries of the simulated machine that programs load by name, and the process, debugger and text
// functions of the seam that go with them.
//   "advapi32": tokens, privileges, SIDs, access lists, security descriptors of keys and files, services.
//   "setupapi", "cfgmgr32", "newdev": the device functions, in devices.cpp.
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/seam/winapi.h"
#include "platform/sim/library_functions.h"
#include "platform/sim/machine.h"
#include "platform/sim/text.h"

namespace sim {

std::string Libraries::key(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (folded.size() > 4 && folded.compare(folded.size() - 4, 4, ".dll") == 0) folded.resize(folded.size() - 4);
  return folded;
}

}  // namespace sim

namespace {

constexpr DWORD ERROR_INVALID_NAME_ = 123;
constexpr DWORD ERROR_INVALID_ADDRESS_ = 487;
constexpr DWORD ERROR_INVALID_FLAGS_ = 1004;
constexpr DWORD ERROR_UNKNOWN_REVISION_ = 1305;

template <typename T>
T failWith(DWORD error, T result) {
  win::SetLastError(error);
  return result;
}

// One function of a library, by its name.
struct Entry {
  const char* library;
  const char* name;
  FARPROC proc;
};

template <typename F>
FARPROC asProc(F* function) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(function));
}

const Entry kEntries[] = {
#define WINFN(ret, name, params)
#define WINLOADFN(library, ret, name, params) {library, #name, asProc(&sim::api::name)},
#include "platform/seam/winapi_functions.inc"
#undef WINLOADFN
#undef WINFN
};

// The module handles: one distinct address per library.
const char* const kLibraries[] = {"cfgmgr32", "advapi32", "setupapi", "newdev"};
constexpr size_t kLibraryCount = sizeof kLibraries / sizeof kLibraries[0];
char moduleImages[kLibraryCount];

int libraryIndex(const std::string& key) {
  for (size_t i = 0; i < kLibraryCount; ++i) {
    if (key == kLibraries[i]) return static_cast<int>(i);
  }
  return -1;
}

int moduleIndex(HMODULE module) {
  auto at = reinterpret_cast<const char*>(module);
  if (at < moduleImages || at >= moduleImages + kLibraryCount) return -1;
  return static_cast<int>(at - moduleImages);
}

// Tokens and service handles the machine handed out.
struct TokenHandle {
  DWORD access;
};
std::mutex handlesMutex;
std::map<HANDLE, TokenHandle> tokens;
std::map<SC_HANDLE, std::string> services;  // "" for the service control manager itself
uintptr_t nextHandle = 0x7000;

HANDLE newToken(DWORD access) {
  std::lock_guard guard(handlesMutex);
  auto handle = reinterpret_cast<HANDLE>(nextHandle += 4);
  tokens[handle] = TokenHandle{access};
  return handle;
}

bool tokenAccess(HANDLE handle, DWORD needed) {
  std::lock_guard guard(handlesMutex);
  auto it = tokens.find(handle);
  if (it == tokens.end()) return failWith(ERROR_INVALID_HANDLE, false);
  if ((it->second.access & needed) != needed) return failWith(ERROR_ACCESS_DENIED, false);
  return true;
}

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

// Privilege identifiers: the platform's well-known values.
const std::pair<const char*, DWORD> kPrivileges[] = {{"SeTakeOwnershipPrivilege", 9}, {"SeBackupPrivilege", 17},
                                                     {"SeRestorePrivilege", 18},      {"SeShutdownPrivilege", 19},
                                                     {"SeDebugPrivilege", 20},        {"SeChangeNotifyPrivilege", 23},
                                                     {"SeSecurityPrivilege", 8},      {"SeLoadDriverPrivilege", 10}};

// Where a named object (SetNamedSecurityInfoA's form) lives: "MACHINE\Software\X" for registry keys.
std::string keyPathOfObjectName(const std::string& name) {
  auto slash = name.find('\\');
  std::string root = sim::upper(name.substr(0, slash));
  std::string rest = slash == std::string::npos ? "" : name.substr(slash);
  if (root == "MACHINE") return "HKEY_LOCAL_MACHINE" + rest;
  if (root == "USERS") return "HKEY_USERS" + rest;
  if (root == "CURRENT_USER") return "HKEY_CURRENT_USER" + rest;
  if (root == "CLASSES_ROOT") return "HKEY_CLASSES_ROOT" + rest;
  return {};
}

// Writes the parts of `sd` asked for onto an object whose descriptor is `current`, with the checks the platform
// makes: the caller needs WRITE_OWNER (or the enabled ownership privilege) for the owner, who must be the
// caller's user or the Administrators group it belongs to; WRITE_DAC for the access list.
DWORD applyDescriptor(sim::Machine& m, sim::SecurityDescriptor& current, const sim::SecurityDescriptor& sd,
                      SECURITY_INFORMATION parts, DWORD allRights) {
  const sim::Security& security = m.security;
  DWORD rights = security.granted(current, WRITE_OWNER | WRITE_DAC, allRights);
  auto privilege = security.token.privileges.find("SeTakeOwnershipPrivilege");
  bool mayTakeOwnership = privilege != security.token.privileges.end() && privilege->second;
  if (parts & OWNER_SECURITY_INFORMATION) {
    if (!(rights & WRITE_OWNER) && !mayTakeOwnership) return ERROR_ACCESS_DENIED;
    if (sd.owner != security.token.user &&
        !(sd.owner == sim::kSidAdministrators && security.tokenHas(sim::kSidAdministrators))) {
      return ERROR_INVALID_OWNER;
    }
  }
  if ((parts & DACL_SECURITY_INFORMATION) && !(rights & WRITE_DAC)) return ERROR_ACCESS_DENIED;
  if (parts & OWNER_SECURITY_INFORMATION) current.owner = sd.owner;
  if (parts & DACL_SECURITY_INFORMATION) {
    current.daclPresent = sd.daclPresent;
    current.daclNull = sd.daclNull;
    current.dacl = sd.dacl;
    current.control = sd.control;
  }
  return ERROR_SUCCESS;
}

constexpr DWORD kKeyAllRights = 0xF003F;
constexpr DWORD kFileAllRights = 0x1F01FF;

std::string filePath(LPCSTR name) {
  if (!name) return {};
  char full[MAX_PATH * 2];
  DWORD n = win::GetFullPathNameA(name, sizeof full, full, nullptr);
  return n && n < sizeof full ? std::string(full, n) : std::string();
}

// Copies a descriptor into a caller's buffer with the platform's two-call protocol.
BOOL handOver(const std::vector<uint8_t>& bytes, PSECURITY_DESCRIPTOR buffer, DWORD length, LPDWORD needed) {
  if (needed) *needed = static_cast<DWORD>(bytes.size());
  if (!buffer || length < bytes.size()) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(buffer, bytes.data(), bytes.size());
  return TRUE;
}

// The ACEs of an access list: where each starts.
std::vector<size_t> aceOffsets(const ACL* acl) {
  std::vector<size_t> offsets;
  auto base = reinterpret_cast<const uint8_t*>(acl);
  size_t at = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount && at + sizeof(ACE_HEADER) <= acl->AclSize; ++i) {
    offsets.push_back(at);
    ACE_HEADER header;
    std::memcpy(&header, base + at, sizeof header);
    if (header.AceSize < sizeof(ACE_HEADER)) break;
    at += header.AceSize;
  }
  return offsets;
}

size_t aclBytesInUse(const ACL* acl) {
  size_t used = sizeof(ACL);
  auto base = reinterpret_cast<const uint8_t*>(acl);
  for (size_t at : aceOffsets(acl)) {
    ACE_HEADER header;
    std::memcpy(&header, base + at, sizeof header);
    used = at + header.AceSize;
  }
  return used;
}

}  // namespace

namespace sim {

bool closeToken(HANDLE handle) {
  std::lock_guard guard(handlesMutex);
  return tokens.erase(handle) > 0;
}

}  // namespace sim

// The seam's functions --------------------------------------------------------------------------------------

namespace win {

HMODULE LoadLibraryA(LPCSTR name) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!name) return failWith<HMODULE>(ERROR_INVALID_PARAMETER, nullptr);
  std::string key = sim::Libraries::key(name);
  int index = libraryIndex(key);
  if (index < 0 || !m.libraries.has(key)) return failWith<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
  ++m.libraries.loadCounts()[key];
  return reinterpret_cast<HMODULE>(moduleImages + index);
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  int index = moduleIndex(module);
  if (index < 0 || !m.libraries.loaded().count(kLibraries[index])) {
    return failWith<FARPROC>(ERROR_MOD_NOT_FOUND, nullptr);
  }
  if (!name) return failWith<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
  for (const Entry& entry : kEntries) {
    if (std::strcmp(entry.library, kLibraries[index]) == 0 && std::strcmp(entry.name, name) == 0 &&
        m.libraries.hasFunction(entry.library, name)) {
      return entry.proc;
    }
  }
  return failWith<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
}

BOOL FreeLibrary(HMODULE module) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  int index = moduleIndex(module);
  auto& counts = m.libraries.loadCounts();
  auto it = index < 0 ? counts.end() : counts.find(kLibraries[index]);
  if (it == counts.end()) return failWith(ERROR_MOD_NOT_FOUND, FALSE);
  if (--it->second == 0) counts.erase(it);
  return TRUE;
}

BOOL DisableThreadLibraryCalls(HMODULE) { return TRUE; }

LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR buffer, LPDWORD length) {
  return sim::api::RegGetKeySecurity(key, parts, buffer, length);
}

HANDLE GetCurrentProcess(void) { return kCurrentProcess; }
HANDLE GetCurrentThread(void) { return kCurrentThread; }

BOOL IsDebuggerPresent(void) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  return m.debuggerPresent ? TRUE : FALSE;
}

void DebugBreak(void) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  ++m.debugBreaks;
}

HWND GetActiveWindow(void) { return nullptr; }

// Windows-1252: a-z, the accented small letters 0xE0-0xFE (not the division sign 0xF7), and the four letters
// whose capitals sit in 0x80-0x9F.
DWORD CharUpperBuffA(LPSTR text, DWORD length) {
  if (!text) return 0;
  for (DWORD i = 0; i < length; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
      c = static_cast<unsigned char>(c - 0x20);
    } else if (c == 0x9A || c == 0x9C || c == 0x9E) {
      c = static_cast<unsigned char>(c - 0x10);
    } else if (c == 0xFF) {
      c = 0x9F;
    }
    text[i] = static_cast<char>(c);
  }
  return length;
}

DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* filePart) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!name || !*name) return failWith<DWORD>(ERROR_INVALID_NAME_, 0);
  auto slash = m.modulePath.find_last_of('\\');
  std::string folder = slash == std::string::npos ? std::string("C:\\") : m.modulePath.substr(0, slash);
  std::string full = sim::FileSystem::fullPath(name, folder);
  if (full.empty()) return failWith<DWORD>(ERROR_INVALID_NAME_, 0);
  // A name that ends in a separator keeps it.
  char last = name[std::strlen(name) - 1];
  if ((last == '\\' || last == '/') && full.back() != '\\') full += '\\';
  if (!buffer || size <= full.size()) return static_cast<DWORD>(full.size() + 1);
  std::memcpy(buffer, full.c_str(), full.size() + 1);
  if (filePart) {
    auto cut = full.find_last_of('\\');
    *filePart = cut + 1 < full.size() ? buffer + cut + 1 : nullptr;
  }
  return static_cast<DWORD>(full.size());
}

}  // namespace win

// advapi32 ---------------------------------------------------------------------------------------------------

namespace sim::api {

BOOL WINAPI LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid) {
  if (system && *system) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  if (!name || !luid) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  for (const auto& [privilege, value] : kPrivileges) {
    if (sim::iequals(privilege, name)) {
      *luid = LUID{value, 0};
      return TRUE;
    }
  }
  return failWith(ERROR_NO_SUCH_PRIVILEGE, FALSE);
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES state, DWORD, PTOKEN_PRIVILEGES,
                                  PDWORD) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!tokenAccess(token, TOKEN_ADJUST_PRIVILEGES)) return FALSE;
  auto& held = m.security.token.privileges;
  if (disableAll) {
    for (auto& [name, enabled] : held) enabled = false;
    win::SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (!state) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  bool all = true;
  for (DWORD i = 0; i < state->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& entry = state->Privileges[i];
    const char* name = nullptr;
    for (const auto& [privilege, value] : kPrivileges) {
      if (value == entry.Luid.LowPart && entry.Luid.HighPart == 0) name = privilege;
    }
    auto it = name ? held.find(name) : held.end();
    if (it == held.end()) {
      all = false;
      continue;
    }
    it->second = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  // Privileges the token does not hold are skipped: the call succeeds and says so through the last error.
  win::SetLastError(all ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
  return TRUE;
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  if (process != kCurrentProcess || !token) return failWith(ERROR_INVALID_HANDLE, FALSE);
  *token = newToken(access);
  return TRUE;
}

BOOL WINAPI OpenThreadToken(HANDLE thread, DWORD access, BOOL, PHANDLE token) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (thread != kCurrentThread || !token) return failWith(ERROR_INVALID_HANDLE, FALSE);
  if (!m.security.token.threadToken) return failWith(ERROR_NO_TOKEN, FALSE);
  *token = newToken(access);
  return TRUE;
}

BOOL WINAPI GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD length,
                                PDWORD returned) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!tokenAccess(token, TOKEN_QUERY)) return FALSE;
  if (!returned) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  std::vector<std::string> sids;
  size_t header = 0;
  if (kind == TokenUser) {
    sids = {m.security.token.user};
    header = sizeof(TOKEN_USER);
  } else if (kind == TokenGroups) {
    sids = m.security.token.groups;
    header = offsetof(TOKEN_GROUPS, Groups) + sids.size() * sizeof(SID_AND_ATTRIBUTES);
  } else {
    return failWith(ERROR_INVALID_PARAMETER, FALSE);
  }
  size_t total = header;
  std::vector<std::vector<uint8_t>> bytes;
  for (const auto& sid : sids) {
    bytes.push_back(sim::sidBytes(sid));
    total += bytes.back().size();
  }
  *returned = static_cast<DWORD>(total);
  if (!buffer || length < total) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
  auto base = static_cast<uint8_t*>(buffer);
  size_t at = header;
  std::vector<SID_AND_ATTRIBUTES> entries;
  for (const auto& sid : bytes) {
    std::memcpy(base + at, sid.data(), sid.size());
    entries.push_back({base + at, kind == TokenGroups ? static_cast<DWORD>(SE_GROUP_ENABLED | 3) : 0u});
    at += sid.size();
  }
  if (kind == TokenUser) {
    std::memcpy(base, entries.data(), sizeof(SID_AND_ATTRIBUTES));
  } else {
    DWORD count = static_cast<DWORD>(entries.size());
    std::memcpy(base, &count, sizeof count);
    std::memcpy(base + offsetof(TOKEN_GROUPS, Groups), entries.data(), entries.size() * sizeof(SID_AND_ATTRIBUTES));
  }
  return TRUE;
}

BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD s0, DWORD s1, DWORD s2,
                                     DWORD s3, DWORD s4, DWORD s5, DWORD s6, DWORD s7, PSID* sid) {
  if (!authority || !sid || count > 8) return failWith(ERROR_INVALID_SID, FALSE);
  const DWORD subs[8] = {s0, s1, s2, s3, s4, s5, s6, s7};
  auto bytes = static_cast<uint8_t*>(std::calloc(1, 8 + 4 * count));
  if (!bytes) return failWith(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  bytes[0] = 1;
  bytes[1] = count;
  std::memcpy(bytes + 2, authority->Value, 6);
  std::memcpy(bytes + 8, subs, 4 * count);
  *sid = bytes;
  return TRUE;
}

PVOID WINAPI FreeSid(PSID sid) {
  std::free(sid);
  return nullptr;
}

BOOL WINAPI IsValidSid(PSID sid) { return sim::validSid(sid) ? TRUE : FALSE; }

BOOL WINAPI EqualSid(PSID a, PSID b) {
  if (!sim::validSid(a) || !sim::validSid(b)) return failWith(ERROR_INVALID_SID, FALSE);
  win::SetLastError(ERROR_SUCCESS);
  DWORD n = sim::sidLength(a);
  return n == sim::sidLength(b) && std::memcmp(a, b, n) == 0;
}

DWORD WINAPI GetLengthSid(PSID sid) { return sim::validSid(sid) ? sim::sidLength(sid) : 0; }

BOOL WINAPI CopySid(DWORD length, PSID to, PSID from) {
  if (!sim::validSid(from)) return failWith(ERROR_INVALID_SID, FALSE);
  DWORD n = sim::sidLength(from);
  if (!to || length < n) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(to, from, n);
  return TRUE;
}

BOOL WINAPI LookupAccountSidA(LPCSTR system, PSID sid, LPSTR name, LPDWORD nameSize, LPSTR domain, LPDWORD domainSize,
                              PSID_NAME_USE use) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if ((system && *system) || !nameSize || !domainSize) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  if (!sim::validSid(sid)) return failWith(ERROR_INVALID_SID, FALSE);
  const sim::Account* account = m.security.account(sim::sidText(sid));
  if (!account) return failWith(ERROR_NONE_MAPPED, FALSE);
  bool fits = name && domain && *nameSize > account->name.size() && *domainSize > account->domain.size();
  if (!fits) {
    *nameSize = static_cast<DWORD>(account->name.size() + 1);
    *domainSize = static_cast<DWORD>(account->domain.size() + 1);
    return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
  }
  std::memcpy(name, account->name.c_str(), account->name.size() + 1);
  std::memcpy(domain, account->domain.c_str(), account->domain.size() + 1);
  *nameSize = static_cast<DWORD>(account->name.size());
  *domainSize = static_cast<DWORD>(account->domain.size());
  if (use) *use = account->use;
  return TRUE;
}

// Descriptors and access lists in the caller's memory.

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (revision != SECURITY_DESCRIPTOR_REVISION) return failWith(ERROR_UNKNOWN_REVISION_, FALSE);
  std::memset(descriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, PSECURITY_DESCRIPTOR_CONTROL control,
                                         LPDWORD revision) {
  if (!descriptor || !control || !revision) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  auto base = static_cast<const uint8_t*>(descriptor);
  *revision = base[0];
  std::memcpy(control, base + 2, sizeof(WORD));
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL interest,
                                         SECURITY_DESCRIPTOR_CONTROL bits) {
  constexpr WORD settable = SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED |
                            SE_SACL_AUTO_INHERITED | SE_DACL_PROTECTED | SE_SACL_PROTECTED;
  if (!descriptor || (interest & ~settable)) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  auto sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  sd->Control = static_cast<WORD>((sd->Control & ~interest) | (bits & interest));
  return TRUE;
}

BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl, LPBOOL defaulted) {
  if (!descriptor || !present || !dacl || !defaulted) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  auto base = static_cast<uint8_t*>(descriptor);
  WORD control;
  std::memcpy(&control, base + 2, sizeof control);
  *present = (control & SE_DACL_PRESENT) ? TRUE : FALSE;
  *defaulted = (control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
  if (!*present) return TRUE;
  if (control & SE_SELF_RELATIVE) {
    DWORD offset;
    std::memcpy(&offset, base + offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl), sizeof offset);
    *dacl = offset ? reinterpret_cast<PACL>(base + offset) : nullptr;
  } else {
    *dacl = static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Dacl;
  }
  return TRUE;
}

BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID* owner, LPBOOL defaulted) {
  if (!descriptor || !owner || !defaulted) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  auto base = static_cast<uint8_t*>(descriptor);
  WORD control;
  std::memcpy(&control, base + 2, sizeof control);
  *defaulted = (control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
  if (control & SE_SELF_RELATIVE) {
    DWORD offset;
    std::memcpy(&offset, base + offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner), sizeof offset);
    *owner = offset ? base + offset : nullptr;
  } else {
    *owner = static_cast<SECURITY_DESCRIPTOR*>(descriptor)->Owner;
  }
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL defaulted) {
  auto sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  if (!sd || sd->Revision != SECURITY_DESCRIPTOR_REVISION || (sd->Control & SE_SELF_RELATIVE)) {
    return failWith(ERROR_INVALID_SECURITY_DESCR, FALSE);
  }
  sd->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  if (present) {
    sd->Control |= SE_DACL_PRESENT;
    if (defaulted) sd->Control |= SE_DACL_DEFAULTED;
    sd->Dacl = dacl;
  } else {
    sd->Dacl = nullptr;
  }
  return TRUE;
}

BOOL WINAPI InitializeAcl(PACL acl, DWORD length, DWORD revision) {
  if (!acl || length < sizeof(ACL) || length > 0xFFFF) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (revision < 2 || revision > 4) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  *acl = ACL{static_cast<BYTE>(revision), 0, static_cast<WORD>(length & ~3u), 0, 0};
  return TRUE;
}

BOOL WINAPI GetAclInformation(PACL acl, LPVOID info, DWORD length, ACL_INFORMATION_CLASS kind) {
  if (!acl || !info) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  if (kind == AclSizeInformation) {
    if (length < sizeof(ACL_SIZE_INFORMATION)) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    DWORD used = static_cast<DWORD>(aclBytesInUse(acl));
    *static_cast<ACL_SIZE_INFORMATION*>(info) = {acl->AceCount, used, acl->AclSize - used};
    return TRUE;
  }
  if (kind == AclRevisionInformation) {
    if (length < sizeof(ACL_REVISION_INFORMATION)) return failWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    static_cast<ACL_REVISION_INFORMATION*>(info)->AclRevision = acl->AclRevision;
    return TRUE;
  }
  return failWith(ERROR_INVALID_PARAMETER, FALSE);
}

BOOL WINAPI GetAce(PACL acl, DWORD index, LPVOID* ace) {
  if (!acl || !ace) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  auto offsets = aceOffsets(acl);
  if (index >= offsets.size()) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  *ace = reinterpret_cast<uint8_t*>(acl) + offsets[index];
  return TRUE;
}

BOOL WINAPI AddAce(PACL acl, DWORD revision, DWORD start, LPVOID list, DWORD length) {
  if (!acl || !list || revision < 2 || revision > 4) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  auto offsets = aceOffsets(acl);
  size_t used = aclBytesInUse(acl);
  if (used + length > acl->AclSize) return failWith(ERROR_ALLOTTED_SPACE_EXCEEDED, FALSE);
  // Count the entries of the list and check that they fill it exactly.
  WORD added = 0;
  for (size_t at = 0; at < length; ++added) {
    ACE_HEADER header;
    if (at + sizeof header > length) return failWith(ERROR_INVALID_PARAMETER, FALSE);
    std::memcpy(&header, static_cast<uint8_t*>(list) + at, sizeof header);
    if (header.AceSize < sizeof header) return failWith(ERROR_INVALID_PARAMETER, FALSE);
    at += header.AceSize;
    if (at > length) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  }
  auto base = reinterpret_cast<uint8_t*>(acl);
  size_t insertAt = start >= offsets.size() ? used : offsets[start];
  std::memmove(base + insertAt + length, base + insertAt, used - insertAt);
  std::memcpy(base + insertAt, list, length);
  acl->AceCount = static_cast<WORD>(acl->AceCount + added);
  if (revision > acl->AclRevision) acl->AclRevision = static_cast<BYTE>(revision);
  return TRUE;
}

BOOL WINAPI AddAccessAllowedAceEx(PACL acl, DWORD revision, DWORD flags, DWORD mask, PSID sid) {
  if (!sim::validSid(sid)) return failWith(ERROR_INVALID_SID, FALSE);
  if (flags & ~0x1Fu) return failWith(ERROR_INVALID_FLAGS_, FALSE);
  std::vector<uint8_t> ace(8 + sim::sidLength(sid));
  ACE_HEADER header{ACCESS_ALLOWED_ACE_TYPE, static_cast<BYTE>(flags), static_cast<WORD>(ace.size())};
  std::memcpy(ace.data(), &header, sizeof header);
  std::memcpy(ace.data() + 4, &mask, 4);
  std::memcpy(ace.data() + 8, sid, sim::sidLength(sid));
  return AddAce(acl, revision, MAXDWORD, ace.data(), static_cast<DWORD>(ace.size()));
}

BOOL WINAPI AddAccessAllowedAce(PACL acl, DWORD revision, DWORD mask, PSID sid) {
  return AddAccessAllowedAceEx(acl, revision, 0, mask, sid);
}

// Security of files and keys.

BOOL WINAPI GetFileSecurityA(LPCSTR name, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR buffer, DWORD length,
                             LPDWORD needed) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!needed) return failWith(ERROR_INVALID_PARAMETER, FALSE);
  auto sd = m.files.security(filePath(name));
  if (!sd) return failWith(ERROR_FILE_NOT_FOUND, FALSE);
  if (!(m.security.granted(*sd, READ_CONTROL, kFileAllRights) & READ_CONTROL)) {
    return failWith(ERROR_ACCESS_DENIED, FALSE);
  }
  return handOver(sim::selfRelative(*sd, parts), buffer, length, needed);
}

BOOL WINAPI SetFileSecurityA(LPCSTR name, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR descriptor) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  std::string path = filePath(name);
  auto current = m.files.security(path);
  if (!current) return failWith(ERROR_FILE_NOT_FOUND, FALSE);
  sim::SecurityDescriptor wanted = *current;
  DWORD error = ERROR_SUCCESS;
  if (!sim::readDescriptor(descriptor, parts, wanted, error)) return failWith(error, FALSE);
  error = applyDescriptor(m, *current, wanted, parts, kFileAllRights);
  if (error != ERROR_SUCCESS) return failWith(error, FALSE);
  m.files.setSecurity(path, *current);
  return TRUE;
}

DWORD WINAPI SetNamedSecurityInfoA(LPSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION parts, PSID owner,
                                   PSID group, PACL dacl, PACL) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!name) return ERROR_INVALID_PARAMETER;
  std::string path;
  std::optional<sim::SecurityDescriptor> current;
  DWORD all = 0;
  if (type == SE_REGISTRY_KEY) {
    path = keyPathOfObjectName(name);
    if (path.empty()) return ERROR_INVALID_PARAMETER;
    current = m.registry.keySecurity(path);
    all = kKeyAllRights;
  } else if (type == SE_FILE_OBJECT) {
    path = filePath(name);
    current = m.files.security(path);
    all = kFileAllRights;
  } else {
    return ERROR_INVALID_PARAMETER;
  }
  if (!current) return ERROR_FILE_NOT_FOUND;
  sim::SecurityDescriptor wanted = *current;
  if (parts & OWNER_SECURITY_INFORMATION) {
    if (!sim::validSid(owner)) return ERROR_INVALID_OWNER;
    wanted.owner = sim::sidText(owner);
  }
  if ((parts & GROUP_SECURITY_INFORMATION) && sim::validSid(group)) wanted.group = sim::sidText(group);
  if (parts & DACL_SECURITY_INFORMATION) {
    DWORD error = ERROR_SUCCESS;
    if (!sim::readAcl(dacl, wanted, error)) return error;
  }
  DWORD error = applyDescriptor(m, *current, wanted, parts, all);
  if (error != ERROR_SUCCESS) return error;
  if (type == SE_REGISTRY_KEY) {
    m.registry.setKeySecurity(path, *current);
  } else {
    m.files.setSecurity(path, *current);
  }
  return ERROR_SUCCESS;
}

LONG WINAPI RegGetKeySecurity(HKEY key, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR buffer, LPDWORD length) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  if (!length) return ERROR_INVALID_PARAMETER;
  std::string path = m.registry.pathOfHandle(key);
  auto sd = path.empty() ? std::nullopt : m.registry.keySecurity(path);
  if (!sd) return ERROR_INVALID_HANDLE;
  auto bytes = sim::selfRelative(*sd, parts);
  bool fits = buffer && *length >= bytes.size();
  *length = static_cast<DWORD>(bytes.size());
  if (!fits) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(buffer, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

LONG WINAPI RegSetKeySecurity(HKEY key, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR descriptor) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  std::string path = m.registry.pathOfHandle(key);
  auto current = path.empty() ? std::nullopt : m.registry.keySecurity(path);
  if (!current) return ERROR_INVALID_HANDLE;
  sim::SecurityDescriptor wanted = *current;
  DWORD error = ERROR_SUCCESS;
  if (!sim::readDescriptor(descriptor, parts, wanted, error)) return static_cast<LONG>(error);
  error = applyDescriptor(m, *current, wanted, parts, kKeyAllRights);
  if (error == ERROR_SUCCESS) m.registry.setKeySecurity(path, *current);
  return static_cast<LONG>(error);
}

// Services: each is a key under HKLM\SYSTEM\CurrentControlSet\Services.

SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machine, LPCSTR, DWORD) {
  if (machine && *machine) return failWith<SC_HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  std::lock_guard guard(handlesMutex);
  auto handle = reinterpret_cast<SC_HANDLE>(nextHandle += 4);
  services[handle] = "";
  return handle;
}

SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  std::lock_guard handlesGuard(handlesMutex);
  auto it = services.find(manager);
  if (it == services.end() || !it->second.empty()) return failWith<SC_HANDLE>(ERROR_INVALID_HANDLE, nullptr);
  if (!name) return failWith<SC_HANDLE>(ERROR_INVALID_ADDRESS_, nullptr);
  std::string path = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + std::string(name);
  if (!*name || std::strchr(name, '\\') || !m.registry.keyExists(path)) {
    return failWith<SC_HANDLE>(ERROR_SERVICE_DOES_NOT_EXIST, nullptr);
  }
  auto handle = reinterpret_cast<SC_HANDLE>(nextHandle += 4);
  services[handle] = path;
  return handle;
}

BOOL WINAPI DeleteService(SC_HANDLE service) {
  sim::Machine& m = sim::current();
  std::lock_guard guard(m.lock());
  std::lock_guard handlesGuard(handlesMutex);
  auto it = services.find(service);
  if (it == services.end() || it->second.empty()) return failWith(ERROR_INVALID_HANDLE, FALSE);
  if (!m.registry.deleteTree(it->second)) return failWith(ERROR_SERVICE_MARKED_FOR_DELETE, FALSE);
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
  std::lock_guard guard(handlesMutex);
  if (!services.erase(handle)) return failWith(ERROR_INVALID_HANDLE, FALSE);
  return TRUE;
}

}  // namespace sim::api
