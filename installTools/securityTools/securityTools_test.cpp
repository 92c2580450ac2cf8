// SecurityTools over the engine's function table: on the host against the simulated machine's "Advapi32", in
// the Windows build against the system's (under Wine). The scratch key of the contract fixture is the object
// whose owner and access list change.
#include "installTools/securityTools/securityTools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/seam/contract_fixture.h"

namespace {

// One entry of an access list, with its SID named by role.
struct Entry {
  BYTE type;
  BYTE flags;
  DWORD mask;
  std::string who;  // "user", "admins", "users", "everyone", "system"
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << "{" << int(e.type) << "," << std::hex << int(e.flags) << "," << e.mask << std::dec << "," << e.who
             << "}";
}

class SecurityToolsTest : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    ASSERT_TRUE(loader_.Load());
    tools_ = std::make_unique<SecurityTools>(1);
    ASSERT_NE(tools_->currentUserSid(), nullptr);
    SID_IDENTIFIER_AUTHORITY nt = {{0, 0, 0, 0, 0, 5}};
    SID_IDENTIFIER_AUTHORITY world = {{0, 0, 0, 0, 0, 1}};
    ASSERT_TRUE(g_fnAllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &admins_));
    ASSERT_TRUE(g_fnAllocateAndInitializeSid(&nt, 2, 32, 545, 0, 0, 0, 0, 0, 0, &users_));
    ASSERT_TRUE(g_fnAllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &everyone_));
    ASSERT_TRUE(g_fnAllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, &system_));
  }
  void TearDown() override {
    for (PSID sid : {admins_, users_, everyone_, system_}) {
      if (sid) g_fnFreeSid(sid);
    }
    tools_.reset();
    loader_.Unload();
    ContractTest::TearDown();
  }

  PSID sidOf(const std::string& who) {
    if (who == "user") return tools_->currentUserSid();
    if (who == "admins") return admins_;
    if (who == "users") return users_;
    if (who == "system") return system_;
    return everyone_;
  }
  std::string whoIs(PSID sid) {
    for (const char* who : {"user", "admins", "users", "everyone", "system"}) {
      if (g_fnEqualSid(sid, sidOf(who))) return who;
    }
    return "other";
  }

  // An access list of the entries, in the caller's buffer.
  std::vector<uint8_t> aclOf(const std::vector<Entry>& entries) {
    std::vector<uint8_t> bytes(1024);
    auto acl = reinterpret_cast<PACL>(bytes.data());
    EXPECT_TRUE(g_fnInitializeAcl(acl, static_cast<DWORD>(bytes.size()), ACL_REVISION));
    for (const Entry& e : entries) {
      PSID sid = sidOf(e.who);
      std::vector<uint8_t> ace(8 + g_fnGetLengthSid(sid));
      ACE_HEADER header{e.type, e.flags, static_cast<WORD>(ace.size())};
      std::memcpy(ace.data(), &header, sizeof header);
      std::memcpy(ace.data() + 4, &e.mask, 4);
      g_fnCopySid(static_cast<DWORD>(ace.size() - 8), ace.data() + 8, sid);
      EXPECT_TRUE(g_fnAddAce(acl, ACL_REVISION, MAXDWORD, ace.data(), static_cast<DWORD>(ace.size())));
    }
    return bytes;
  }

  std::vector<Entry> entriesOf(PACL acl) {
    std::vector<Entry> entries;
    ACL_SIZE_INFORMATION size{};
    EXPECT_TRUE(g_fnGetAclInformation(acl, &size, sizeof size, AclSizeInformation));
    for (DWORD i = 0; i < size.AceCount; ++i) {
      void* ace = nullptr;
      EXPECT_TRUE(g_fnGetAce(acl, i, &ace));
      auto allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
      entries.push_back(
          {allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask, whoIs(&allowed->SidStart)});
    }
    return entries;
  }

  // The key's descriptor parts as the registry hands them out.
  std::vector<uint8_t> keySecurity(HKEY key, SECURITY_INFORMATION parts) {
    DWORD size = 0;
    EXPECT_EQ(regGetKeySecurity_(key, parts, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint8_t> bytes(size);
    EXPECT_EQ(regGetKeySecurity_(key, parts, bytes.data(), &size), ERROR_SUCCESS);
    return bytes;
  }

  HKEY createScratchKey(const std::string& name) {
    HKEY key = nullptr;
    std::string path = keyPath() + "\\" + name;
    EXPECT_EQ(win::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | WRITE_OWNER,
                                   nullptr, &key, nullptr),
              ERROR_SUCCESS);
    return key;
  }

  void loadRegistrySecurityFunctions() {
    HMODULE advapi = win::LoadLibraryA("advapi32");
    ASSERT_NE(advapi, nullptr);
    regGetKeySecurity_ = reinterpret_cast<winfn::RegGetKeySecurity_t>(
        reinterpret_cast<void (*)()>(win::GetProcAddress(advapi, "RegGetKeySecurity")));
    regSetKeySecurity_ = reinterpret_cast<winfn::RegSetKeySecurity_t>(
        reinterpret_cast<void (*)()>(win::GetProcAddress(advapi, "RegSetKeySecurity")));
    ASSERT_NE(regGetKeySecurity_, nullptr);
    ASSERT_NE(regSetKeySecurity_, nullptr);
    advapi_ = advapi;
  }

  Os2K_SetupApi loader_;
  std::unique_ptr<SecurityTools> tools_;
  PSID admins_ = nullptr;
  PSID users_ = nullptr;
  PSID everyone_ = nullptr;
  PSID system_ = nullptr;
  HMODULE advapi_ = nullptr;
  winfn::RegGetKeySecurity_t regGetKeySecurity_ = nullptr;
  winfn::RegSetKeySecurity_t regSetKeySecurity_ = nullptr;
};

constexpr BYTE A = ACCESS_ALLOWED_ACE_TYPE;
constexpr BYTE D = ACCESS_DENIED_ACE_TYPE;
constexpr BYTE OI = OBJECT_INHERIT_ACE;
constexpr BYTE CI = CONTAINER_INHERIT_ACE;
constexpr BYTE INH = INHERITED_ACE;
constexpr DWORD ALL = GENERIC_ALL;
constexpr DWORD READ = 0x20019;
constexpr DWORD FULL = 0xF003F;

TEST_F(SecurityToolsTest, AdministratorIsInTheAdministratorsGroup) { EXPECT_TRUE(tools_->IsAdministrator()); }

TEST_F(SecurityToolsTest, WithoutTheNtFlagEveryoneIsAdministratorAndNoSidIsTaken) {
  SecurityTools other(0);
  EXPECT_EQ(other.currentUserSid(), nullptr);
  EXPECT_TRUE(other.IsAdministrator());
}

TEST_F(SecurityToolsTest, CurrentUserSidIsACopyOfTheTokenUser) {
  HANDLE token = nullptr;
  ASSERT_TRUE(g_fnOpenProcessToken(win::GetCurrentProcess(), TOKEN_QUERY, &token));
  std::vector<uint8_t> user(512);
  DWORD size = 0;
  ASSERT_TRUE(g_fnGetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size));
  win::CloseHandle(token);
  PSID own = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
  EXPECT_TRUE(g_fnEqualSid(own, tools_->currentUserSid()));
  EXPECT_NE(own, tools_->currentUserSid());
}

struct GrantCase {
  const char* name;
  bool daclPresent;
  bool daclNull;
  std::vector<Entry> old;
  WORD oldControl;
  std::vector<Entry> expected;  // ignored for a null list
  WORD expectedControl;
};

TEST_F(SecurityToolsTest, GrantFullAccessBuildsTheNewListFromTheOld) {
  const WORD AI = SE_DACL_AUTO_INHERITED;
  const WORD AIR = SE_DACL_AUTO_INHERIT_REQ;
  const WORD P = SE_DACL_PROTECTED;
  const Entry mine{A, OI, ALL, "user"};
  const GrantCase cases[] = {
      // name                                   present null  old entries                              old control
      {"null list stays null (everyone has access)", true, true, {}, 0, {}, 0},
      {"absent list counts as empty", false, false, {}, 0, {mine}, 0},
      {"empty list gets the one entry", true, false, {}, 0, {mine}, 0},
      {"explicit entries of others are kept, the user's own is replaced",
       true,
       false,
       {{A, 0, FULL, "admins"}, {A, 0, READ, "user"}, {D, 0, 0x2, "everyone"}},
       0,
       {{A, 0, FULL, "admins"}, {D, 0, 0x2, "everyone"}, mine},
       0},
      {"first entry inherited: the new entry comes first",
       true,
       false,
       {{A, INH | CI, READ, "users"}, {A, INH | OI | CI, FULL, "admins"}},
       AI,
       {mine, {A, INH | CI, READ, "users"}, {A, INH | OI | CI, FULL, "admins"}},
       AI | AIR},
      {"inherited entry of the user stays",
       true,
       false,
       {{A, 0, FULL, "system"}, {A, INH, READ, "user"}, {A, INH, FULL, "admins"}},
       P,
       {{A, 0, FULL, "system"}, mine, {A, INH, READ, "user"}, {A, INH, FULL, "admins"}},
       P},
      {"auto-inherited and protected: the auto-inherit bits win",
       true,
       false,
       {{A, 0, FULL, "admins"}},
       AI | P,
       {{A, 0, FULL, "admins"}, mine},
       AI | AIR},
  };
  for (const GrantCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> oldAcl = aclOf(c.old);
    SECURITY_DESCRIPTOR old;
    ASSERT_TRUE(g_fnInitializeSecurityDescriptor(&old, SECURITY_DESCRIPTOR_REVISION));
    if (c.daclPresent) {
      ASSERT_TRUE(g_fnSetSecurityDescriptorDacl(&old, TRUE,
                                                c.daclNull ? nullptr : reinterpret_cast<PACL>(oldAcl.data()), FALSE));
    }
    if (c.oldControl) {
      ASSERT_TRUE(g_fnSetSecurityDescriptorControl(&old, c.oldControl, c.oldControl));
    }

    SECURITY_DESCRIPTOR fresh;
    std::memset(&fresh, 0xCC, sizeof fresh);
    PACL newAcl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(tools_->GrantFullAccess(&fresh, &old, GENERIC_ALL, &newAcl));
    BOOL present = FALSE;
    BOOL defaulted = TRUE;
    PACL attached = nullptr;
    ASSERT_TRUE(g_fnGetSecurityDescriptorDacl(&fresh, &present, &attached, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_FALSE(defaulted);
    EXPECT_EQ(attached, newAcl);
    if (c.daclNull) {
      EXPECT_EQ(newAcl, nullptr);
    } else {
      ASSERT_NE(newAcl, nullptr);
      EXPECT_EQ(entriesOf(newAcl), c.expected);
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(g_fnGetSecurityDescriptorControl(&fresh, &control, &revision));
    EXPECT_EQ(control & (AI | AIR | P), c.expectedControl);
    EXPECT_EQ(revision, 1u);
    SecurityTools::FreeAcl(newAcl);
  }
}

TEST_F(SecurityToolsTest, TakeOwnershipMakesTheUserOwnerOfAKey) {
  ASSERT_NO_FATAL_FAILURE(loadRegistrySecurityFunctions());
  HKEY key = createScratchKey("Owned");
  ASSERT_NE(key, nullptr);
  // Hand the key to the Administrators group first, so that the change is visible.
  SECURITY_DESCRIPTOR byGroup;
  ASSERT_TRUE(g_fnInitializeSecurityDescriptor(&byGroup, SECURITY_DESCRIPTOR_REVISION));
  byGroup.Owner = admins_;
  ASSERT_EQ(regSetKeySecurity_(key, OWNER_SECURITY_INFORMATION, &byGroup), ERROR_SUCCESS);

  std::string name = "MACHINE\\" + keyPath() + "\\Owned";
  EXPECT_TRUE(tools_->TakeOwnership(true, name.c_str()));

  std::vector<uint8_t> sd = keySecurity(key, OWNER_SECURITY_INFORMATION);
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  HMODULE advapi = win::LoadLibraryA("advapi32");
  auto getOwner = reinterpret_cast<winfn::GetSecurityDescriptorOwner_t>(
      reinterpret_cast<void (*)()>(win::GetProcAddress(advapi, "GetSecurityDescriptorOwner")));
  ASSERT_NE(getOwner, nullptr);
  ASSERT_TRUE(getOwner(sd.data(), &owner, &defaulted));
  EXPECT_EQ(whoIs(owner), "user");
  win::FreeLibrary(advapi);
  win::RegCloseKey(key);
  win::FreeLibrary(advapi_);
}

TEST_F(SecurityToolsTest, GrantedAccessToAKeyKeepsTheOtherEntries) {
  ASSERT_NO_FATAL_FAILURE(loadRegistrySecurityFunctions());
  HKEY key = createScratchKey("Opened");
  ASSERT_NE(key, nullptr);
  std::vector<uint8_t> old = keySecurity(key, DACL_SECURITY_INFORMATION);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL oldAcl = nullptr;
  ASSERT_TRUE(g_fnGetSecurityDescriptorDacl(old.data(), &present, &oldAcl, &defaulted));
  ASSERT_TRUE(present && oldAcl);
  std::vector<Entry> before = entriesOf(oldAcl);

  SECURITY_DESCRIPTOR fresh;
  PACL newAcl = nullptr;
  ASSERT_TRUE(tools_->GrantFullAccess(&fresh, old.data(), GENERIC_ALL, &newAcl));
  EXPECT_EQ(regSetKeySecurity_(key, DACL_SECURITY_INFORMATION, &fresh), ERROR_SUCCESS);
  SecurityTools::FreeAcl(newAcl);

  std::vector<uint8_t> now = keySecurity(key, DACL_SECURITY_INFORMATION);
  PACL nowAcl = nullptr;
  ASSERT_TRUE(g_fnGetSecurityDescriptorDacl(now.data(), &present, &nowAcl, &defaulted));
  ASSERT_TRUE(present && nowAcl);
  std::vector<Entry> after = entriesOf(nowAcl);
  // The user's explicit entry is new; every entry of another principal is still there.
  Entry mine{A, OI, ALL, "user"};
  EXPECT_NE(std::find(after.begin(), after.end(), mine), after.end());
  for (const Entry& e : before) {
    if (e.who != "user" || (e.flags & INH)) {
      EXPECT_NE(std::find(after.begin(), after.end(), e), after.end()) << e;
    }
  }
  win::RegCloseKey(key);
  win::FreeLibrary(advapi_);
}

BOOL WINAPI refuseThreadToken(HANDLE, DWORD, BOOL, PHANDLE) {
  win::SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

TEST_F(SecurityToolsTest, WithoutAUserSidGrantAndOwnershipFailAtOnce) {
  auto saved = g_fnOpenThreadToken;
  g_fnOpenThreadToken = &refuseThreadToken;
  SecurityTools noUser(1);
  g_fnOpenThreadToken = saved;
  EXPECT_EQ(noUser.currentUserSid(), nullptr);

  SECURITY_DESCRIPTOR old;
  ASSERT_TRUE(g_fnInitializeSecurityDescriptor(&old, SECURITY_DESCRIPTOR_REVISION));
  SECURITY_DESCRIPTOR fresh;
  PACL acl = reinterpret_cast<PACL>(1);
  EXPECT_FALSE(noUser.GrantFullAccess(&fresh, &old, GENERIC_ALL, &acl));
  EXPECT_EQ(acl, nullptr);
  ASSERT_NE(createScratchKey("NotTaken"), nullptr);
  EXPECT_FALSE(noUser.TakeOwnership(true, ("MACHINE\\" + keyPath() + "\\NotTaken").c_str()));
}

#ifndef _WIN32
// The machine's own knobs: who the program runs as.

TEST_F(SecurityToolsTest, StandardUserIsNoAdministratorAndCannotTakeOwnership) {
  sim::current().security.runAsStandardUser();
  SecurityTools user(1);
  ASSERT_NE(user.currentUserSid(), nullptr);
  EXPECT_FALSE(user.IsAdministrator());

  sim::current().registry.createKey("HKLM\\" + keyPath() + "\\Locked");
  sim::SecurityDescriptor locked = sim::SecurityDescriptor::defaultForKey();
  sim::current().registry.setKeySecurity("HKLM\\" + keyPath() + "\\Locked", locked);
  EXPECT_FALSE(user.TakeOwnership(true, ("MACHINE\\" + keyPath() + "\\Locked").c_str()));
  EXPECT_EQ(sim::current().registry.keySecurity("HKLM\\" + keyPath() + "\\Locked")->owner, sim::kSidAdministrators);
}

TEST_F(SecurityToolsTest, GroupListLongerThanAKilobyteIsReadWhole) {
  auto& groups = sim::current().security.token.groups;
  groups.clear();
  for (int i = 0; i < 100; ++i) groups.push_back("S-1-5-21-1-2-3-" + std::to_string(2000 + i));
  groups.push_back(sim::kSidAdministrators);  // the last of 101 groups, far beyond 1024 bytes
  EXPECT_TRUE(tools_->IsAdministrator());
  groups.pop_back();
  EXPECT_FALSE(tools_->IsAdministrator());
}

TEST_F(SecurityToolsTest, ThreadTokenUserIsTheCurrentUser) {
  sim::current().security.token.threadToken = true;
  PSID sid = nullptr;
  ASSERT_TRUE(tools_->GetCurrentUserSid(&sid));
  EXPECT_TRUE(g_fnEqualSid(sid, tools_->currentUserSid()));
  SecurityTools::FreeSidCopy(sid);
}

#endif

}  // namespace
