// Ownership, access rights and the administrator check of the install engine on Windows 2000 and XP. Before the
// engine deletes or rewrites a registry key or an INF file it makes the user who runs the installer the key's
// owner and grants that user full access. Every system call goes through the engine's function table (all from
// "Advapi32"); the object exists only on the NT5 path.
#pragma once

#include <cstdint>

#include "installTools/engine/systemFunctions.h"

// Privilege that lets a program make itself owner of an object.
inline constexpr const char* kTakeOwnershipPrivilege = "SeTakeOwnershipPrivilege";

class SecurityTools {
 public:
  // With a non-zero NT flag, finds the current user's SID (GetCurrentUserSid); without one, m_pCurUserSID stays
  // null.
  explicit SecurityTools(uint32_t ntFlag);
  ~SecurityTools();
  SecurityTools(const SecurityTools&) = delete;
  SecurityTools& operator=(const SecurityTools&) = delete;

  // Whether the process token holds the Administrators group. True when the NT flag is 0; false when the
  // groups cannot be read or the function entries are missing.
  bool IsAdministrator();

  // Makes the current user the owner of a registry object named as "MACHINE\SOFTWARE\...", after enabling the
  // ownership privilege on the process token (it stays enabled). False when there is no user SID, the
  // privilege cannot be set, or the system refuses the new owner.
  bool TakeOwnership(bool enable, const char* objectName);

  // Fills the caller's uninitialised (absolute) descriptor `newSd` with an access list made from the one of
  // `oldSd`: the old entries in order, without the user's own explicit entry, and the user's new entry
  // (accessMask, OBJECT_INHERIT_ACE) placed before the first inherited entry; the inheritance control bits
  // follow the old descriptor. An old null list (everyone has every right) stays null. The new list is
  // handed back in `newAcl` whether or not the call succeeds; the caller frees it with FreeAcl.
  bool GrantFullAccess(PSECURITY_DESCRIPTOR newSd, PSECURITY_DESCRIPTOR oldSd, DWORD accessMask, PACL* newAcl);

  // Enables (or disables) one privilege on a token opened with TOKEN_ADJUST_PRIVILEGES.
  bool EnablePrivilege(HANDLE token, const char* privilege, bool enable);

  // The current user's SID: a copy of the user SID of the thread's token (the process token when the thread
  // has none), in a buffer the caller frees with FreeSidCopy. False, with *sid null, on any failure.
  bool GetCurrentUserSid(PSID* sid);

  PSID currentUserSid() const { return m_pCurUserSID; }

  static void FreeAcl(PACL acl);
  static void FreeSidCopy(PSID sid);

 private:
  uint32_t m_ntFlag;
  PSID m_pCurUserSID = nullptr;
};
