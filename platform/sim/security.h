// Security on the simulated machine: the security descriptors of registry keys and files (owner, discretionary
// access list, control bits), the process token (user, groups, privileges), the accounts the machine knows, and
// the binary forms (SID, ACL, security descriptor) in which the platform's security functions hand them over.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/seam/wintypes.h"

namespace sim {

// Well-known SIDs, as text.
inline constexpr const char* kSidAdministrators = "S-1-5-32-544";
inline constexpr const char* kSidUsers = "S-1-5-32-545";
inline constexpr const char* kSidEveryone = "S-1-1-0";
inline constexpr const char* kSidSystem = "S-1-5-18";
inline constexpr const char* kSidAuthenticatedUsers = "S-1-5-11";
inline constexpr const char* kSidAdministrator = "S-1-5-21-1004336348-1177238915-682003330-500";
inline constexpr const char* kSidStandardUser = "S-1-5-21-1004336348-1177238915-682003330-1003";

// One entry of an access list.
struct Ace {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;  // ACCESS_ALLOWED_ACE_TYPE or ACCESS_DENIED_ACE_TYPE
  BYTE flags = 0;                       // OBJECT_INHERIT_ACE, CONTAINER_INHERIT_ACE, INHERITED_ACE, ...
  DWORD mask = 0;
  std::string sid;  // "S-1-5-32-544"
  bool operator==(const Ace&) const = default;
};

// A key's or file's security descriptor as the machine keeps it.
struct SecurityDescriptor {
  std::string owner;  // SID text; empty when the object has none
  std::string group;
  bool daclPresent = true;
  bool daclNull = false;  // present but null: everyone has every right
  std::vector<Ace> dacl;
  WORD control = 0;  // the inheritance bits: SE_DACL_AUTO_INHERITED, SE_DACL_PROTECTED, SE_DACL_AUTO_INHERIT_REQ
  bool operator==(const SecurityDescriptor&) const = default;

  // What a new key or file gets: owner Administrators, and an access list inherited from its folder that gives
  // Administrators and SYSTEM every right and Users read access.
  static SecurityDescriptor defaultForKey();
  static SecurityDescriptor defaultForFile();

  // The text form used in machine folders: "O:owner;G:group;D:dacl;C:control" with the access list as
  // "(A|D,flags hex,mask hex,sid)..." or "NULL" (null list) or "-" (no list). False on malformed text.
  std::string text() const;
  static bool parse(const std::string& text, SecurityDescriptor& into);
};

// The token a program of the machine runs with.
struct Token {
  std::string user = kSidAdministrator;
  std::vector<std::string> groups;         // enabled group SIDs
  std::map<std::string, bool> privileges;  // privilege name -> enabled; a name missing here is not held
  bool threadToken = false;                // whether the calling thread impersonates (has its own token)
};

// An account name the machine can look up for a SID.
struct Account {
  std::string sid;
  std::string name;
  std::string domain;
  SID_NAME_USE use = SidTypeUser;
};

class Security {
 public:
  Security();  // an administrator: member of Administrators, Everyone, Users and Authenticated Users

  Token token;
  std::vector<Account> accounts;

  // Makes the program run as a standard user (no Administrators group, no ownership privilege).
  void runAsStandardUser();
  // Makes the program run as an administrator again (the default).
  void runAsAdministrator();

  const Account* account(const std::string& sid) const;
  // Whether the token holds the SID as its user or one of its groups.
  bool tokenHas(const std::string& sid) const;
  // The rights the token gets on an object with this descriptor, of those wanted (generic rights are mapped to
  // the object's full rights `all`). The owner always gets READ_CONTROL and WRITE_DAC.
  DWORD granted(const SecurityDescriptor& sd, DWORD wanted, DWORD all) const;
};

// The binary SID of a SID text (empty when malformed), and the text of a binary SID.
std::vector<uint8_t> sidBytes(const std::string& text);
std::string sidText(const void* sid);
// Whether a binary SID is well formed (revision 1, at most 15 sub-authorities).
bool validSid(const void* sid);
DWORD sidLength(const void* sid);

// A self-relative descriptor holding the parts asked for (OWNER/GROUP/DACL_SECURITY_INFORMATION).
std::vector<uint8_t> selfRelative(const SecurityDescriptor& sd, SECURITY_INFORMATION parts);
// Reads the parts asked for from a descriptor (absolute or self-relative) into `into`; false with the
// platform's error when the descriptor or one of its parts is malformed.
bool readDescriptor(const void* descriptor, SECURITY_INFORMATION parts, SecurityDescriptor& into, DWORD& error);
// Reads an access list (null pointer: a null list).
bool readAcl(const ACL* acl, SecurityDescriptor& into, DWORD& error);

// Closes a token handle of the security functions (CloseHandle's part for tokens); false for another handle.
bool closeToken(HANDLE handle);

}  // namespace sim
