#include "installTools/securityTools/securityTools.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "installTools/securityTools/engineAssert.h"

namespace {

// The Administrators group: NT authority, built-in domain, alias 544.
constexpr BYTE kNtAuthority[6] = {0, 0, 0, 0, 0, 5};
constexpr DWORD kBuiltinDomainRid = 32;
constexpr DWORD kAdminsAliasRid = 544;

// Size of an access-allowed entry without its SID part.
constexpr DWORD kAllowedAceHeader = 8;

// Reads a token's information of one kind into a buffer of the size the system asks for.
bool readTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind, std::vector<uint8_t>& buffer) {
  DWORD needed = 0;
  if (g_fnGetTokenInformation(token, kind, nullptr, 0, &needed) || win::GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
      needed == 0) {
    return false;
  }
  buffer.assign(needed, 0);
  return g_fnGetTokenInformation(token, kind, buffer.data(), needed, &needed) != FALSE;
}

}  // namespace

SecurityTools::SecurityTools(uint32_t ntFlag) : m_ntFlag(ntFlag) {
  if (m_ntFlag && !GetCurrentUserSid(&m_pCurUserSID)) m_pCurUserSID = nullptr;
}

SecurityTools::~SecurityTools() { FreeSidCopy(m_pCurUserSID); }

void SecurityTools::FreeAcl(PACL acl) { std::free(acl); }
void SecurityTools::FreeSidCopy(PSID sid) { std::free(sid); }

bool SecurityTools::GetCurrentUserSid(PSID* sid) {
  ENGINE_REQUIRE(sid, "sid", false);
  *sid = nullptr;
  ENGINE_REQUIRE(g_fnOpenThreadToken, "g_fnOpenThreadToken", false);
  ENGINE_REQUIRE(g_fnOpenProcessToken, "g_fnOpenProcessToken", false);
  ENGINE_REQUIRE(g_fnGetTokenInformation, "g_fnGetTokenInformation", false);
  ENGINE_REQUIRE(g_fnGetLengthSid, "g_fnGetLengthSid", false);
  ENGINE_REQUIRE(g_fnCopySid, "g_fnCopySid", false);
  HANDLE token = nullptr;
  if (!g_fnOpenThreadToken(win::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    if (win::GetLastError() != ERROR_NO_TOKEN) return false;
    if (!g_fnOpenProcessToken(win::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  }
  std::vector<uint8_t> user;
  bool read = readTokenInformation(token, TokenUser, user);
  win::CloseHandle(token);
  if (!read) return false;
  // The token's own user SID, copied: the SID of the account that runs the installer, whatever its name.
  PSID own = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  DWORD length = g_fnGetLengthSid(own);
  if (length == 0) return false;
  PSID copy = std::calloc(1, length);
  if (!copy) return false;
  if (!g_fnCopySid(length, copy, own)) {
    std::free(copy);
    return false;
  }
  *sid = copy;
  return true;
}

bool SecurityTools::EnablePrivilege(HANDLE token, const char* privilege, bool enable) {
  if (!g_fnLookupPrivilegeValue || !g_fnAdjustTokenPrivileges) return false;
  TOKEN_PRIVILEGES privileges{};
  if (!g_fnLookupPrivilegeValue(nullptr, privilege, &privileges.Privileges[0].Luid)) return false;
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
  return g_fnAdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
}

bool SecurityTools::TakeOwnership(bool enable, const char* objectName) {
  ENGINE_REQUIRE(objectName, "objectName", false);
  ENGINE_REQUIRE(g_fnOpenProcessToken, "g_fnOpenProcessToken", false);
  ENGINE_REQUIRE(g_fnSetNamedSecurityInfo, "g_fnSetNamedSecurityInfo", false);
  if (!m_pCurUserSID) return false;
  HANDLE token = nullptr;
  if (!g_fnOpenProcessToken(win::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
  if (!EnablePrivilege(token, kTakeOwnershipPrivilege, enable)) {
    win::CloseHandle(token);
    return false;
  }
  // The object name is passed as the system's function takes it: a writable string.
  std::vector<char> name(objectName, objectName + std::strlen(objectName) + 1);
  DWORD result = g_fnSetNamedSecurityInfo(name.data(), SE_REGISTRY_KEY, OWNER_SECURITY_INFORMATION, m_pCurUserSID,
                                          nullptr, nullptr, nullptr);
  win::CloseHandle(token);
  return result == ERROR_SUCCESS;
}

bool SecurityTools::GrantFullAccess(PSECURITY_DESCRIPTOR newSd, PSECURITY_DESCRIPTOR oldSd, DWORD accessMask,
                                    PACL* newAcl) {
  ENGINE_REQUIRE(newAcl, "newAcl", false);
  *newAcl = nullptr;
  ENGINE_REQUIRE(newSd && oldSd, "pSecurityDescriptor", false);
  ENGINE_REQUIRE(g_fnInitializeSecurityDescriptor, "g_fnInitializeSecurityDescriptor", false);
  ENGINE_REQUIRE(g_fnGetSecurityDescriptorDacl, "g_fnGetSecurityDescriptorDacl", false);
  ENGINE_REQUIRE(g_fnGetAclInformation, "g_fnGetAclInformation", false);
  ENGINE_REQUIRE(g_fnInitializeAcl, "g_fnInitializeAcl", false);
  ENGINE_REQUIRE(g_fnGetAce, "g_fnGetAce", false);
  ENGINE_REQUIRE(g_fnAddAce, "g_fnAddAce", false);
  ENGINE_REQUIRE(g_fnAddAccessAllowedAceEx, "g_fnAddAccessAllowedAceEx", false);
  ENGINE_REQUIRE(g_fnSetSecurityDescriptorDacl, "g_fnSetSecurityDescriptorDacl", false);
  ENGINE_REQUIRE(g_fnGetSecurityDescriptorControl, "g_fnGetSecurityDescriptorControl", false);
  ENGINE_REQUIRE(g_fnSetSecurityDescriptorControl, "g_fnSetSecurityDescriptorControl", false);
  ENGINE_REQUIRE(g_fnEqualSid, "g_fnEqualSid", false);
  ENGINE_REQUIRE(g_fnGetLengthSid, "g_fnGetLengthSid", false);
  if (!m_pCurUserSID) return false;

  if (!g_fnInitializeSecurityDescriptor(newSd, SECURITY_DESCRIPTOR_REVISION)) return false;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL oldAcl = nullptr;
  if (!g_fnGetSecurityDescriptorDacl(oldSd, &present, &oldAcl, &defaulted)) return false;
  if (present && !oldAcl) {
    // A null list gives everyone every right already; a list with one entry would take rights away.
    return g_fnSetSecurityDescriptorDacl(newSd, TRUE, nullptr, FALSE) != FALSE;
  }

  ACL_SIZE_INFORMATION size{0, sizeof(ACL), 0};
  if (present && !g_fnGetAclInformation(oldAcl, &size, sizeof size, AclSizeInformation)) return false;
  DWORD newSize = size.AclBytesInUse + kAllowedAceHeader + g_fnGetLengthSid(m_pCurUserSID);
  *newAcl = static_cast<PACL>(std::calloc(1, newSize));
  if (!*newAcl || !g_fnInitializeAcl(*newAcl, newSize, ACL_REVISION)) return false;

  // The explicit entries first (without the user's own), then the user's new entry, then the inherited ones.
  DWORD index = 0;
  for (; present && index < size.AceCount; ++index) {
    void* ace = nullptr;
    if (!g_fnGetAce(oldAcl, index, &ace)) return false;
    auto header = static_cast<ACE_HEADER*>(ace);
    if (header->AceFlags & INHERITED_ACE) break;
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    if (g_fnEqualSid(sid, m_pCurUserSID)) continue;
    if (!g_fnAddAce(*newAcl, ACL_REVISION, MAXDWORD, ace, header->AceSize)) return false;
  }
  if (!g_fnAddAccessAllowedAceEx(*newAcl, ACL_REVISION, OBJECT_INHERIT_ACE, accessMask, m_pCurUserSID)) return false;
  for (; present && index < size.AceCount; ++index) {
    void* ace = nullptr;
    if (!g_fnGetAce(oldAcl, index, &ace)) return false;
    if (!g_fnAddAce(*newAcl, ACL_REVISION, MAXDWORD, ace, static_cast<ACE_HEADER*>(ace)->AceSize)) return false;
  }
  if (!g_fnSetSecurityDescriptorDacl(newSd, TRUE, *newAcl, FALSE)) return false;

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!g_fnGetSecurityDescriptorControl(oldSd, &control, &revision)) return false;
  if (control & SE_DACL_AUTO_INHERITED) {
    const SECURITY_DESCRIPTOR_CONTROL bits = SE_DACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED;
    if (!g_fnSetSecurityDescriptorControl(newSd, bits, bits)) return false;
  } else if (control & SE_DACL_PROTECTED) {
    if (!g_fnSetSecurityDescriptorControl(newSd, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) return false;
  }
  return true;
}

bool SecurityTools::IsAdministrator() {
  if (m_ntFlag == 0) return true;
  ENGINE_REQUIRE(g_fnAllocateAndInitializeSid, "g_fnAllocateAndInitializeSid", false);
  ENGINE_REQUIRE(g_fnOpenProcessToken, "g_fnOpenProcessToken", false);
  ENGINE_REQUIRE(g_fnGetTokenInformation, "g_fnGetTokenInformation", false);
  ENGINE_REQUIRE(g_fnFreeSid, "g_fnFreeSid", false);
  ENGINE_REQUIRE(g_fnEqualSid, "g_fnEqualSid", false);
  HANDLE token = nullptr;
  if (!g_fnOpenProcessToken(win::GetCurrentProcess(), TOKEN_READ, &token)) return false;
  // The whole group list, however many groups the user belongs to.
  std::vector<uint8_t> buffer;
  bool read = readTokenInformation(token, TokenGroups, buffer);
  win::CloseHandle(token);
  if (!read) return false;
  SID_IDENTIFIER_AUTHORITY authority;
  std::memcpy(authority.Value, kNtAuthority, sizeof kNtAuthority);
  PSID administrators = nullptr;
  if (!g_fnAllocateAndInitializeSid(&authority, 2, kBuiltinDomainRid, kAdminsAliasRid, 0, 0, 0, 0, 0, 0,
                                    &administrators)) {
    return false;
  }
  auto groups = reinterpret_cast<TOKEN_GROUPS*>(buffer.data());
  bool member = false;
  for (DWORD i = 0; i < groups->GroupCount && !member; ++i) {
    member = g_fnEqualSid(groups->Groups[i].Sid, administrators) != FALSE;
  }
  g_fnFreeSid(administrators);
  return member;
}
