// The INF-file operations over the Windows INF folders: on the host on the simulated machine, in the Windows
// build in Wine's own C:\windows\inf. The tests write their own fixture INF files there (names beginning with
// "tvfx") and remove them afterwards; no other file of the folder is touched.
#include "installTools/file_Tools/fileTools.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "installTools/engine/osInstall.h"
#include "installTools/engine/systemFunctions.h"
#include "installTools/file_Tools/dir.h"
#include "installTools/securityTools/securityTools.h"
#include "platform/seam/contract_fixture.h"

namespace {

tag_HardwareID pciRecord(uint32_t vendor, uint32_t device) {
  tag_HardwareID record{};
  record.nBusType = HWID_PCI;
  std::snprintf(record.szHardwareID, sizeof record.szHardwareID, "PCI\\VEN_%04X&DEV_%04X", vendor, device);
  record.nVendorID = vendor;
  record.nDeviceID = device;
  return record;
}

// An INF whose models section names one hardware ID; `install` is its install section's body.
std::string infFor(const std::string& hardwareId,
                   const std::string& install = "CopyFiles=TvCopy\r\nAddReg=TvAddReg\r\n") {
  return "[Version]\r\nSignature=\"$CHICAGO$\"\r\nCatalogFile=tvfx.cat\r\n\r\n[Manufacturer]\r\n%Mfg%="
         "TvModels\r\n\r\n"
         "[TvModels]\r\n%Dev%=TvInstall," +
         hardwareId + "\r\n\r\n[TvInstall]\r\n" + install +
         "\r\n[TvCopy]\r\ntvfx_a.sys\r\n\r\n[Strings]\r\nMfg=\"Tv\"\r\n";
}

// Pads a text with comment lines to exactly `size` bytes.
std::string padded(std::string text, size_t size) {
  while (size - text.size() > 66) text += ";" + std::string(61, '-') + "\r\n";
  text += ";" + std::string(size - text.size() - 3, '-') + "\r\n";
  return text;
}

class InfFolderTest : public ContractTest {
 protected:
  void SetUp() override {
    ContractTest::SetUp();
    ASSERT_TRUE(loader_.Load());
    security_ = std::make_unique<SecurityTools>(1);
    files_ = std::make_unique<FileTools>(security_.get(), true);
    install_ = std::make_unique<Os2K_Install>(files_.get(), 20005);
    char folder[MAX_PATH] = {};
    ASSERT_GT(win::GetWindowsDirectoryA(folder, sizeof folder), 0u);
    windows_ = folder;
    inf_ = windows_ + "\\inf\\";
    other_ = inf_ + "Other\\";
    if (win::GetFileAttributesA(other_.c_str()) == INVALID_FILE_ATTRIBUTES) {
      ASSERT_TRUE(win::CreateDirectoryA(other_.c_str(), nullptr));
      createdOther_ = true;
    }
  }

  void TearDown() override {
    for (const auto& path : written_) {
      win::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      win::DeleteFileA(path.c_str());
    }
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) win::RemoveDirectoryA(it->c_str());
    if (createdOther_) win::RemoveDirectoryA(other_.c_str());
    install_.reset();
    files_.reset();
    security_.reset();
    loader_.Unload();
    ContractTest::TearDown();
  }

  // Writes a fixture file (and remembers it for the clean-up).
  std::string put(const std::string& path, const std::string& bytes) {
    written_.push_back(path);
    HANDLE file =
        win::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    win::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    win::CloseHandle(file);
    return path;
  }
  void folder(const std::string& path) {
    ASSERT_TRUE(win::CreateDirectoryA(path.c_str(), nullptr));
    folders_.push_back(path);
  }
  static bool exists(const std::string& path) {
    return win::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
  }

  Os2K_SetupApi loader_;
  std::unique_ptr<SecurityTools> security_;
  std::unique_ptr<FileTools> files_;
  std::unique_ptr<Os2K_Install> install_;
  std::string windows_;
  std::string inf_;
  std::string other_;
  bool createdOther_ = false;
  std::vector<std::string> written_;
  std::vector<std::string> folders_;
};

const char* const kMatchingId = "PCI\\VEN_5A5A&DEV_A5A5&SUBSYS_12345A5A";

TEST_F(InfFolderTest, DelInfFileDeletesMatchingInfsWithTheirCompanions) {
  put(inf_ + "tvfx_match.inf", infFor(kMatchingId));
  put(inf_ + "tvfx_match.pnf", "precompiled");
  put(inf_ + "tvfx_other.inf", infFor("PCI\\VEN_5A5A&DEV_0001"));
  put(inf_ + "tvfx_other.pnf", "precompiled");
  put(inf_ + "tvfx_edge.inf", padded(infFor(kMatchingId), 0x12000 - 1));
  put(inf_ + "tvfx_big.inf", padded(infFor(kMatchingId), 0x12000));
  put(other_ + "tvfx_deep.inf", infFor("pci\\ven_5a5a&dev_a5a5"));
  put(other_ + "tvfx_deep.pnf", "precompiled");
  std::string readOnly = put(inf_ + "tvfx_locked.inf", infFor(kMatchingId));
  ASSERT_TRUE(win::SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));

  tag_HardwareID table[2] = {pciRecord(0x1111, 0x2222), pciRecord(0x5A5A, 0xA5A5)};
  EXPECT_TRUE(install_->DelInfFile(table, 2));

  EXPECT_FALSE(exists(inf_ + "tvfx_match.inf"));
  EXPECT_FALSE(exists(inf_ + "tvfx_match.pnf"));
  EXPECT_TRUE(exists(inf_ + "tvfx_other.inf"));
  EXPECT_TRUE(exists(inf_ + "tvfx_other.pnf"));
  EXPECT_FALSE(exists(inf_ + "tvfx_edge.inf")) << "73727 bytes is below the limit";
  EXPECT_TRUE(exists(inf_ + "tvfx_big.inf")) << "73728 bytes is not";
  EXPECT_FALSE(exists(other_ + "tvfx_deep.inf"));
  EXPECT_FALSE(exists(other_ + "tvfx_deep.pnf"));
  EXPECT_FALSE(exists(readOnly));
}

TEST_F(InfFolderTest, RecordsThatNameNoDeviceMatchNoInf) {
  put(inf_ + "tvfx_zero.inf", infFor("PCI\\VEN_0000&DEV_0000&SUBSYS_00000000&REV_00"));
  put(inf_ + "tvfx_match.inf", infFor(kMatchingId));
  tag_HardwareID zero = pciRecord(0, 0);
  tag_HardwareID usbZero{};
  usbZero.nBusType = HWID_USB;
  tag_HardwareID text{};
  text.nBusType = HWID_TEXT;  // bus types are compared as they are: a text record is never normalised here
  std::snprintf(text.szHardwareID, sizeof text.szHardwareID, "%s", kMatchingId);
  tag_HardwareID table[3] = {zero, usbZero, text};
  EXPECT_TRUE(install_->DelInfFile(table, 3));
  EXPECT_TRUE(install_->disableInfFileCopyFilesSection(table, 3));
  EXPECT_TRUE(exists(inf_ + "tvfx_zero.inf"));
  EXPECT_EQ(readFile(inf_ + "tvfx_zero.inf"), infFor("PCI\\VEN_0000&DEV_0000&SUBSYS_00000000&REV_00"));
  EXPECT_EQ(readFile(inf_ + "tvfx_match.inf"), infFor(kMatchingId));
}

TEST_F(InfFolderTest, CopyFilesLinesAreCommentedOut) {
  const std::string body =
      "CopyFiles=TvCopy\r\n"
      "   copyfiles = TvCopy2\r\n"
      "\tCOPYFILES=TvCopy3\r\n"
      "AddReg=TvAddReg ; CopyFiles are listed above\r\n"
      "Include=ks.inf ; needs CopyFiles\r\n"
      "CopyINF=tvfx_more.inf\r\n";
  const std::string once =
      ";CopyFiles=TvCopy\r\n"
      ";   copyfiles = TvCopy2\r\n"
      ";\tCOPYFILES=TvCopy3\r\n"
      "AddReg=TvAddReg ; CopyFiles are listed above\r\n"
      "Include=ks.inf ; needs CopyFiles\r\n"
      "CopyINF=tvfx_more.inf\r\n";
  std::string top = put(inf_ + "tvfx_top.inf", infFor(kMatchingId, body));
  std::string deep = put(other_ + "tvfx_deep.inf", infFor(kMatchingId, body));
  std::string big = put(inf_ + "tvfx_big.inf", padded(infFor(kMatchingId, body), 0x20000));
  tag_HardwareID record = pciRecord(0x5A5A, 0xA5A5);
  EXPECT_TRUE(install_->disableInfFileCopyFilesSection(&record, 1));

  std::string expectedTop = infFor(kMatchingId, once);
  // The [TvInstall] section's lines are the only ones with CopyFiles at their start.
  EXPECT_EQ(readFile(top), expectedTop);
  // "Inf\Other" is visited by both passes, so its file is examined twice: a line whose CopyFiles now starts at
  // the second or third character gets a second ";", the indented one (now at the fifth) does not.
  const std::string twice =
      ";;CopyFiles=TvCopy\r\n"
      ";   copyfiles = TvCopy2\r\n"
      ";;\tCOPYFILES=TvCopy3\r\n"
      "AddReg=TvAddReg ; CopyFiles are listed above\r\n"
      "Include=ks.inf ; needs CopyFiles\r\n"
      "CopyINF=tvfx_more.inf\r\n";
  EXPECT_EQ(readFile(deep), infFor(kMatchingId, twice));
  EXPECT_EQ(readFile(big), padded(infFor(kMatchingId, body), 0x20000)) << "131072 bytes is not changed";
}

TEST_F(InfFolderTest, TextOperationsFindTheTextInAnyCase) {
  std::string mentions = put(inf_ + "tvfx_audio.inf", infFor(kMatchingId) + "[TvCopy2]\r\nEMAUDIO.SYS\r\n");
  std::string silent = put(inf_ + "tvfx_silent.inf", infFor("PCI\\VEN_5A5A&DEV_0002"));
  put(inf_ + "tvfx_audio.pnf", "precompiled");
  EXPECT_TRUE(install_->disableInfFileCopyFilesSectionByString("emAudio.sys"));
  EXPECT_NE(readFile(mentions).find(";CopyFiles=TvCopy"), std::string::npos);
  EXPECT_EQ(readFile(silent), infFor("PCI\\VEN_5A5A&DEV_0002"));

  EXPECT_TRUE(install_->deleteInfFile__ByString("")) << "an empty text matches no file";
  EXPECT_TRUE(exists(silent));
  EXPECT_TRUE(install_->deleteInfFile__ByString("EmAudio.Sys"));
  EXPECT_FALSE(exists(mentions));
  EXPECT_TRUE(exists(inf_ + "tvfx_audio.pnf")) << "the companion stays";
  EXPECT_TRUE(exists(silent));
}

TEST_F(InfFolderTest, CompanionIsNamedFromTheFileNamePart) {
  folder(inf_ + "tvfx.inf.d");
  put(inf_ + "tvfx.inf.d\\tvfx_nested.inf", infFor(kMatchingId));
  put(inf_ + "tvfx.inf.d\\tvfx_nested.pnf", "precompiled");
  tag_HardwareID record = pciRecord(0x5A5A, 0xA5A5);
  EXPECT_TRUE(install_->DelInfFile(&record, 1));
  EXPECT_FALSE(exists(inf_ + "tvfx.inf.d\\tvfx_nested.inf"));
  EXPECT_FALSE(exists(inf_ + "tvfx.inf.d\\tvfx_nested.pnf"));
  EXPECT_EQ(Os98_Install::CompanionOf("C:\\Windows\\Inf\\x.inf.d\\oem3.inf"), "C:\\WINDOWS\\INF\\X.INF.D\\OEM3.pnf");
}

TEST_F(InfFolderTest, ModelsSectionIsReadWhole) {
  // A decorated header that begins with the models name starts the section; the matching line comes after
  // thousands of others.
  std::string models = "[TvModels.NTx86]\r\n; a comment line\r\n";
  for (int i = 0; i < 3000; ++i) {
    char line[80];
    std::snprintf(line, sizeof line, "%%Dev%d%%=TvInstall,PCI\\VEN_5A5A&DEV_%04X\r\n", i, 0x1000 + i);
    models += line;
  }
  models += "%Dev%=TvInstall,PCI\\VEN_5A5A&DEV_A5A5\r\n[TvInstall]\r\nCopyFiles=TvCopy\r\n";
  std::string path = put(inf_ + "tvfx_long.inf", "[Manufacturer]\r\n%Mfg%=TvModels\r\n" + models);
  std::vector<std::string> lines;
  files_->ReadModelsSection(path.c_str(), "TvModels", lines);
  ASSERT_EQ(lines.size(), 3001u);
  EXPECT_EQ(lines.back(), "%DEV%=TVINSTALL,PCI\\VEN_5A5A&DEV_A5A5");
  tag_HardwareID record = pciRecord(0x5A5A, 0xA5A5);
  EXPECT_TRUE(files_->InfMatchesHardware(&record, 1, path.c_str()));
  EXPECT_FALSE(files_->InfMatchesHardware(&record, 1, (inf_ + "tvfx_missing.inf").c_str()));
}

TEST_F(InfFolderTest, HandInstallCopiesTheInfAndItsDriverFiles) {
  std::string source = writeFile("tvfx_hand.inf", infFor(kMatchingId, "CopyFiles=TvCopy, TvCopyB ; both\r\n") +
                                                      "[TvCopyB]\r\ntvfx_b.sys ; second\r\n");
  writeFile("tvfx_a.sys", "driver a");
  writeFile("tvfx_b.sys", "driver b");
  std::string copy = windows_ + "\\INF\\tvfx_hand.inf";
  std::string driverA = windows_ + "\\System32\\Drivers\\tvfx_a.sys";
  std::string driverB = windows_ + "\\System32\\Drivers\\tvfx_b.sys";
  written_.insert(written_.end(), {copy, driverA, driverB});
  put(driverA, "old driver a");
  win::SetFileAttributesA(driverA.c_str(), FILE_ATTRIBUTE_READONLY);

  tag_HardwareID wanted = pciRecord(0x5A5A, 0xA5A5);
  EXPECT_TRUE(files_->InstallInfFiles(wanted, source.c_str()));
  EXPECT_EQ(readFile(driverA), "driver a");
  EXPECT_EQ(readFile(driverB), "driver b");
  char value[64];
  EXPECT_EQ(win::GetPrivateProfileStringA("Version", "CatalogFile", "none", value, sizeof value, copy.c_str()), 4u);
  EXPECT_STREQ(value, "none");
  EXPECT_EQ(win::GetPrivateProfileStringA("TvInstall", "CopyFiles", "none", value, sizeof value, copy.c_str()), 4u);
  EXPECT_EQ(readFile(source).find("CatalogFile"), readFile(source).find("CatalogFile=tvfx.cat"));

  // Installing the stored copy itself keeps it: a file is never deleted to be copied onto itself. Its CopyFiles
  // directive is gone now, so the result is false.
  EXPECT_FALSE(files_->InstallInfFiles(wanted, copy.c_str()));
  EXPECT_TRUE(exists(copy));
  EXPECT_TRUE(files_->CopyToDrivers(driverB.c_str()));
  EXPECT_EQ(readFile(driverB), "driver b");

  tag_HardwareID other = pciRecord(0x5A5A, 0x0003);
  EXPECT_FALSE(files_->InstallInfFiles(other, source.c_str())) << "no model matches";
  EXPECT_FALSE(files_->CopyToDrivers(path("tvfx_missing.sys").c_str()));
}

#ifndef _WIN32
// Wine reports FILE_ATTRIBUTE_ARCHIVE on every file; the machine can hold a file without any attribute bit.
TEST_F(InfFolderTest, FilesWithoutAttributeBitsAreListed) {
  std::string plain = put(inf_ + "tvfx_plain.inf", infFor(kMatchingId));
  ASSERT_TRUE(win::SetFileAttributesA(plain.c_str(), FILE_ATTRIBUTE_NORMAL));
  ASSERT_EQ(win::GetFileAttributesA(plain.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
  std::string hidden = put(other_ + "tvfx_hidden.inf", "x");
  ASSERT_TRUE(win::SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN));
  Dir dir((inf_ + "*.inf").c_str(), 39);
  std::vector<std::string> expected = {inf_ + "tvfx_plain.inf", other_ + "tvfx_hidden.inf"};
  EXPECT_EQ(dir.Files(), expected) << "files of the folder first, then those of its subfolders";
  Dir onlyHidden((inf_ + "*.inf").c_str(), FILE_ATTRIBUTE_HIDDEN);
  EXPECT_EQ(onlyHidden.Files().size(), 2u);
}

TEST_F(InfFolderTest, ChangedFilesAreOpenedToTheCurrentUser) {
  std::string path = put(inf_ + "tvfx_guarded.inf", infFor(kMatchingId));
  sim::SecurityDescriptor guarded;
  guarded.owner = sim::kSidSystem;
  guarded.dacl = {{ACCESS_ALLOWED_ACE_TYPE, 0, 0x1F01FF, sim::kSidAdministrators},
                  {ACCESS_ALLOWED_ACE_TYPE, INHERITED_ACE, 0x1200A9, sim::kSidUsers}};
  guarded.control = SE_DACL_AUTO_INHERITED;
  ASSERT_TRUE(sim::current().files.setSecurity(path, guarded));
  tag_HardwareID record = pciRecord(0x5A5A, 0xA5A5);
  EXPECT_TRUE(install_->disableInfFileCopyFilesSection(&record, 1));
  sim::SecurityDescriptor now = *sim::current().files.security(path);
  std::vector<sim::Ace> expected = {
      guarded.dacl[0],
      {ACCESS_ALLOWED_ACE_TYPE, OBJECT_INHERIT_ACE, GENERIC_ALL, sim::kSidAdministrator},
      guarded.dacl[1]};
  EXPECT_EQ(now.dacl, expected);
  EXPECT_EQ(now.control, SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ);
  EXPECT_EQ(now.owner, sim::kSidSystem);
}
#endif

}  // namespace
