// The encoder firmware image of the host build's simulated card. No encoder firmware ships with the sources:
// the card's simulated encoder runs the project's own test image, generated here byte for byte, and refuses
// any other. The image has the shape the driver's loader expects of "nvpelgar.rom": a raw 256000-byte image
// (64000 little-endian words) copied to encoder memory offset 0, whose word at offset 0x38 names an 18-word
// block that the loader overwrites after the copy.
//
// Layout:
//   0x000  32 bytes of ASCII identification, zero padded
//   0x020  image length in words (64000)
//   0x024  firmware version word (what command 0xC4 answers)
//   0x028  seed of the body
//   0x038  offset of the loader's patch block (kFirmwarePatchOffset)
//   0x040 - 0xBFF  zero: the firmware's own area, where it puts its mailbox signature and mailboxes
//   0xC00 - end    pseudo-random body; the patch block holds 0xA5A5A5A5 words until the loader patches it
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "driver/kernel/sim/kernel.h"

namespace simcard {

inline constexpr char kFirmwareFileName[] = "nvpelgar.rom";
inline constexpr uint32_t kFirmwareImageBytes = 256000;
inline constexpr uint32_t kFirmwarePatchPointer = 0x38;    // image word holding the patch block's offset
inline constexpr uint32_t kFirmwarePatchOffset = 0x3E000;  // where the patch block sits in the test image
inline constexpr uint32_t kFirmwarePatchWords = 18;
inline constexpr uint32_t kFirmwareVersion = 0x02060039;  // version word of the test image
inline constexpr uint32_t kFirmwareBodyOffset = 0xC00;

// The words the loader writes over the patch block, in order.
inline constexpr std::array<uint32_t, kFirmwarePatchWords> kFirmwarePatch = {
    0x4750494F, 0,          0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
    0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0};

// The four words the running firmware writes in front of its mailbox 0.
inline constexpr std::array<uint32_t, 4> kMailboxSignature = {0x12345678, 0x34567812, 0x56781234, 0x78123456};

// The bytes of the test image as the file holds them (the patch block not yet applied). Deterministic: every
// call returns the same 256000 bytes.
std::vector<uint8_t> TestFirmwareImage();

// The image as a correct loader leaves it in encoder memory: the file's bytes with the patch block applied.
// This is what the simulated firmware checks when its processor is released.
const std::vector<uint8_t>& LoadedFirmwareImage();

// Puts the test image into the machine's driver folder under "nvpelgar.rom", where the driver's loader
// finds it. A test that wants the firmware file missing simply does not call this.
void InstallTestFirmware(ksim::Kernel& kernel);

}  // namespace simcard
