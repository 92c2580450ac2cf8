// Security on the simulated machine: descriptor text, the token's rights on an object, SIDs in their binary
// form, and security in the machine folder.
#include "platform/sim/security.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/sim/machine.h"

namespace {

TEST(SimSecurity, DescriptorTextRoundTripsAndRefusesMalformedText) {
  sim::SecurityDescriptor sd = sim::SecurityDescriptor::defaultForKey();
  sd.dacl.push_back({ACCESS_DENIED_ACE_TYPE, 0, 0x2, sim::kSidEveryone});
  sd.control = SE_DACL_PROTECTED;
  sim::SecurityDescriptor back;
  ASSERT_TRUE(sim::SecurityDescriptor::parse(sd.text(), back)) << sd.text();
  EXPECT_EQ(back, sd);
  for (const char* text : {"O:S-1-5-32-544;G:;D:NULL;C:0", "O:;G:;D:-;C:400"}) {
    ASSERT_TRUE(sim::SecurityDescriptor::parse(text, back)) << text;
    EXPECT_EQ(back.text(), text);
  }
  const char* malformed[] = {
      "O:S-2-5;G:;D:-;C:0",             // not a SID
      "O:;G:;D:(A,0,1,S-1-1-0;C:0",     // unterminated entry
      "O:;G:;D:(X,0,1,S-1-1-0);C:0",    // unknown entry type
      "O:;G:;D:(A,100,1,S-1-1-0);C:0",  // flags beyond a byte
      "O:;G:;D:-;C:10000",              // control beyond a word
      "Q:x",                            // unknown part
  };
  for (const char* text : malformed) EXPECT_FALSE(sim::SecurityDescriptor::parse(text, back)) << text;
}

TEST(SimSecurity, SidsHaveThePlatformsBinaryForm) {
  auto bytes = sim::sidBytes("S-1-5-32-544");
  const std::vector<uint8_t> expected = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(sim::sidText(bytes.data()), "S-1-5-32-544");
  EXPECT_EQ(sim::sidLength(bytes.data()), 16u);
  EXPECT_TRUE(sim::sidBytes("S-1-5-x").empty());
  EXPECT_TRUE(sim::sidBytes("S-1-5-4294967296").empty());
}

TEST(SimSecurity, TokenRightsFollowTheAccessList) {
  sim::Security security;
  sim::SecurityDescriptor sd;
  sd.owner = sim::kSidSystem;
  const DWORD all = 0xF003F;
  // No entry for the user or its groups: nothing but what ownership gives (here none).
  sd.dacl = {{ACCESS_ALLOWED_ACE_TYPE, 0, all, sim::kSidSystem}};
  EXPECT_EQ(security.granted(sd, WRITE_DAC | DELETE, all), 0u);
  // A denial before an allowance wins; generic rights map to the object's rights.
  sd.dacl = {{ACCESS_DENIED_ACE_TYPE, 0, DELETE, sim::kSidEveryone},
             {ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, sim::kSidAdministrators}};
  EXPECT_EQ(security.granted(sd, WRITE_DAC | DELETE, all), static_cast<DWORD>(WRITE_DAC));
  // The owner may always read and change the list; a null list gives everything.
  sd.owner = sim::kSidAdministrators;
  sd.dacl.clear();
  EXPECT_EQ(security.granted(sd, WRITE_DAC | WRITE_OWNER, all), static_cast<DWORD>(WRITE_DAC));
  sd.daclNull = true;
  EXPECT_EQ(security.granted(sd, WRITE_DAC | WRITE_OWNER, all), static_cast<DWORD>(WRITE_DAC | WRITE_OWNER));
  security.runAsStandardUser();
  sd.daclNull = false;
  EXPECT_EQ(security.granted(sd, WRITE_DAC, all), 0u) << "a standard user is not in Administrators";
}

TEST(SimSecurity, MachineFolderKeepsTokenLibrariesAndDescriptors) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / "tv_sim_security_test";
  fs::remove_all(dir);
  sim::Machine machine;
  machine.security.runAsStandardUser();
  machine.security.token.threadToken = true;
  machine.libraries.remove("newdev");
  machine.libraries.removeFunction("cfgmgr32", "CM_Get_Child");
  machine.registry.createKey("HKLM\\Software\\Taviron");
  sim::SecurityDescriptor key = sim::SecurityDescriptor::defaultForKey();
  key.owner = sim::kSidStandardUser;
  ASSERT_TRUE(machine.registry.setKeySecurity("HKLM\\Software\\Taviron", key));
  machine.files.writeFile("C:\\windows\\inf\\oem1.inf", "[Version]\r\n");
  sim::SecurityDescriptor file;
  file.owner = sim::kSidSystem;
  file.daclNull = true;
  ASSERT_TRUE(machine.files.setSecurity("C:\\windows\\inf\\oem1.inf", file));
  std::string error;
  ASSERT_TRUE(machine.save(dir.string(), error)) << error;

  sim::Machine loaded;
  ASSERT_TRUE(sim::Machine::load(dir.string(), loaded, error)) << error;
  EXPECT_EQ(loaded.security.token.user, sim::kSidStandardUser);
  EXPECT_TRUE(loaded.security.token.threadToken);
  EXPECT_FALSE(loaded.libraries.has("NEWDEV.dll"));
  EXPECT_FALSE(loaded.libraries.hasFunction("cfgmgr32", "CM_Get_Child"));
  EXPECT_TRUE(loaded.libraries.hasFunction("cfgmgr32", "CM_Get_Parent"));
  EXPECT_EQ(loaded.registry.keySecurity("HKEY_LOCAL_MACHINE\\SOFTWARE\\Taviron"), key);
  EXPECT_EQ(loaded.files.security("C:\\WINDOWS\\inf\\OEM1.INF"), file);
  EXPECT_EQ(loaded.files.security("C:\\windows"), sim::SecurityDescriptor::defaultForFile());

  // A descriptor for an object the machine does not have refuses the folder.
  std::ofstream(dir / "security.ini", std::ios::app) << "C:\\windows\\inf\\missing.inf=O:;G:;D:NULL;C:0\r\n";
  sim::Machine refused;
  EXPECT_FALSE(sim::Machine::load(dir.string(), refused, error));
  EXPECT_NE(error.find("missing.inf: no such file"), std::string::npos) << error;
  fs::remove_all(dir);
}

}  // namespace
