#include "driver/simcard/firmware_image.h"

#include <cstring>

#include "driver/kernel/sim/kernel_fixture.h"

namespace simcard {
namespace {

uint32_t WordAt(const std::vector<uint8_t>& image, uint32_t offset) {
  return static_cast<uint32_t>(image[offset]) | static_cast<uint32_t>(image[offset + 1]) << 8 |
         static_cast<uint32_t>(image[offset + 2]) << 16 | static_cast<uint32_t>(image[offset + 3]) << 24;
}

TEST(FirmwareImage, HasTheShapeTheLoaderExpects) {
  std::vector<uint8_t> image = TestFirmwareImage();
  ASSERT_EQ(image.size(), 256000u);
  EXPECT_EQ(image, TestFirmwareImage()) << "the image is the same every time";
  EXPECT_EQ(std::memcmp(image.data(), "pelgar encoder test image", 25), 0);
  EXPECT_EQ(WordAt(image, 0x20), 64000u);
  EXPECT_EQ(WordAt(image, 0x24), kFirmwareVersion);
  uint32_t patch = WordAt(image, 0x38);
  EXPECT_EQ(patch, kFirmwarePatchOffset);
  EXPECT_LE(patch, 255928u) << "the loader patches only blocks that fit in the image";
  EXPECT_EQ(patch % 4, 0u);
  for (uint32_t i = 0; i < kFirmwarePatchWords; ++i) EXPECT_EQ(WordAt(image, patch + 4 * i), 0xA5A5A5A5u);
  for (uint32_t offset = 0; offset < 2560; offset += 256)
    EXPECT_NE(WordAt(image, offset), kMailboxSignature[0]) << "no signature before the firmware runs, at " << offset;
  for (uint32_t offset = 0x40; offset < kFirmwareBodyOffset; offset += 4) ASSERT_EQ(WordAt(image, offset), 0u);
  size_t zeroBodyWords = 0;
  for (uint32_t offset = kFirmwareBodyOffset; offset < image.size(); offset += 4)
    zeroBodyWords += !WordAt(image, offset);
  EXPECT_EQ(zeroBodyWords, 0u) << "the body is all pseudo-random words";
}

TEST(FirmwareImage, LoadedImageDiffersOnlyByThePatchBlock) {
  std::vector<uint8_t> file = TestFirmwareImage();
  const std::vector<uint8_t>& loaded = LoadedFirmwareImage();
  ASSERT_EQ(loaded.size(), file.size());
  uint32_t patchEnd = kFirmwarePatchOffset + 4 * kFirmwarePatchWords;
  for (uint32_t offset = 0; offset < file.size(); offset += 4) {
    if (offset >= kFirmwarePatchOffset && offset < patchEnd)
      ASSERT_EQ(WordAt(loaded, offset), kFirmwarePatch[(offset - kFirmwarePatchOffset) / 4]) << offset;
    else
      ASSERT_EQ(WordAt(loaded, offset), WordAt(file, offset)) << offset;
  }
  EXPECT_EQ(WordAt(loaded, kFirmwarePatchOffset), 0x4750494Fu);
  EXPECT_EQ(WordAt(loaded, patchEnd - 4), 0u);
}

class FirmwareFileTest : public KernelFixture {};

TEST_F(FirmwareFileTest, InstalledImageIsReadFromTheDriverFolder) {
  InstallTestFirmware(kernel);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\SystemRoot\\System32\\Drivers\\NVPELGAR.ROM");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE file;
  IO_STATUS_BLOCK io;
  ASSERT_EQ(ZwCreateFile(&file, GENERIC_READ, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ,
                         FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0),
            STATUS_SUCCESS);
  std::vector<uint8_t> read(256004, 0xCC);
  LARGE_INTEGER at;
  at.QuadPart = 0;
  EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &io, read.data(), 256004, &at, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(io.Information, 256000u);
  read.resize(256000);
  EXPECT_EQ(read, TestFirmwareImage());
  EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

}  // namespace
}  // namespace simcard
