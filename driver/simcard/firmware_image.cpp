#include "driver/simcard/firmware_image.h"

#include <cstring>

namespace simcard {
namespace {

constexpr char kIdentification[] = "pelgar encoder test image 1";
constexpr uint32_t kBodySeed = 0x5EED1234;
constexpr uint32_t kUnpatchedWord = 0xA5A5A5A5;

void PutWord(std::vector<uint8_t>& image, uint32_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) image[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::vector<uint8_t> TestFirmwareImage() {
  std::vector<uint8_t> image(kFirmwareImageBytes, 0);
  std::memcpy(image.data(), kIdentification, sizeof kIdentification);
  PutWord(image, 0x20, kFirmwareImageBytes / 4);
  PutWord(image, 0x24, kFirmwareVersion);
  PutWord(image, 0x28, kBodySeed);
  PutWord(image, kFirmwarePatchPointer, kFirmwarePatchOffset);
  uint32_t x = kBodySeed;  // xorshift32: cheap, deterministic and never zero
  for (uint32_t offset = kFirmwareBodyOffset; offset < kFirmwareImageBytes; offset += 4) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bool patch = offset >= kFirmwarePatchOffset && offset < kFirmwarePatchOffset + 4 * kFirmwarePatchWords;
    PutWord(image, offset, patch ? kUnpatchedWord : x);
  }
  return image;
}

const std::vector<uint8_t>& LoadedFirmwareImage() {
  static const std::vector<uint8_t> loaded = [] {
    std::vector<uint8_t> image = TestFirmwareImage();
    for (uint32_t i = 0; i < kFirmwarePatchWords; ++i)
      PutWord(image, kFirmwarePatchOffset + 4 * i, kFirmwarePatch[i]);
    return image;
  }();
  return loaded;
}

void InstallTestFirmware(ksim::Kernel& kernel) { kernel.AddDriverFile(kFirmwareFileName, TestFirmwareImage()); }

}  // namespace simcard
