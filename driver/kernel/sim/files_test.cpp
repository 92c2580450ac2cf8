#include <vector>

#include "driver/kernel/sim/kernel_fixture.h"

namespace {

class FilesTest : public KernelFixture {
 protected:
  NTSTATUS Open(const char16_t* path, ULONG attributes, HANDLE* handle, ULONG disposition = FILE_OPEN) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, attributes, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwCreateFile(handle, GENERIC_READ, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                        disposition, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
  }
};

TEST_F(FilesTest, FirmwareIsReadFourBytesAtATimeUntilTheEndOfTheFile) {
  kernel.AddDriverFile("nvpelgar.rom", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  HANDLE file;
  ASSERT_EQ(Open(u"\\systemroot\\system32\\drivers\\nvpelgar.rom", OBJ_CASE_INSENSITIVE, &file), STATUS_SUCCESS);
  std::vector<NTSTATUS> statuses;
  std::vector<ULONG_PTR> counts;
  std::vector<uint8_t> copied;
  for (LONGLONG offset = 0; offset < 16; offset += 4) {
    LARGE_INTEGER at;
    at.QuadPart = offset;
    IO_STATUS_BLOCK iosb;
    uint8_t word[4] = {0xCC, 0xCC, 0xCC, 0xCC};
    statuses.push_back(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, word, 4, &at, nullptr));
    counts.push_back(iosb.Information);
    copied.insert(copied.end(), word, word + 4);
  }
  EXPECT_THAT(statuses, ::testing::ElementsAre(STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_END_OF_FILE));
  EXPECT_THAT(counts, ::testing::ElementsAre(4u, 4u, 2u, 0u));
  EXPECT_EQ(copied[9], 10);
  EXPECT_EQ(copied[10], 0xCC) << "a short read leaves the rest of the buffer alone";
  FILE_STANDARD_INFORMATION info;
  IO_STATUS_BLOCK iosb;
  ASSERT_EQ(ZwQueryInformationFile(file, &iosb, &info, sizeof info, FileStandardInformation), STATUS_SUCCESS);
  EXPECT_EQ(info.EndOfFile.QuadPart, 10);
  EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

TEST_F(FilesTest, OpenFollowsTheObjectManagersNamingRules) {
  kernel.AddDriverFile("nvpelgar.rom", {0});
  struct Case {
    const char16_t* path;
    ULONG attributes;
    ULONG disposition;
    NTSTATUS status;
    const char* quirk;
  } cases[] = {
      {u"\\SystemRoot\\System32\\drivers\\NVPELGAR.ROM", 0, FILE_OPEN, STATUS_SUCCESS, "file names are caseless"},
      {u"\\systemroot\\system32\\drivers\\nvpelgar.rom", 0, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND,
       "object names are case-sensitive without OBJ_CASE_INSENSITIVE"},
      {u"\\systemroot\\system32\\drivers\\xc3028.rom", OBJ_CASE_INSENSITIVE, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND,
       "missing file"},
      {u"\\SystemRoot\\System32\\nvpelgar.rom", OBJ_CASE_INSENSITIVE, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND,
       "other folder"},
      {u"\\SystemRoot\\System32\\drivers\\nvpelgar.rom", OBJ_CASE_INSENSITIVE, 2 /* FILE_CREATE */,
       STATUS_ACCESS_DENIED, "the driver folder is read-only"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.quirk);
    HANDLE file = nullptr;
    EXPECT_EQ(Open(c.path, c.attributes, &file, c.disposition), c.status);
    if (NT_SUCCESS(c.status)) ZwClose(file);
  }
  EXPECT_THAT(kernel.CheckUnload(), ::testing::IsEmpty());
}

}  // namespace
