// The video capture filter's property sets: the video processing amplifier, the video decoder and the
// card's diagnostic set (I2C transfers, encoder memory, chip registers, waited mailbox commands).
//
// Every handler runs at passive level in the caller's thread and finds its card with `DeviceFromIrp`; a
// request that reaches no card, or a card that is not started (no decoder, bus, window or mailbox), fails
// with STATUS_UNSUCCESSFUL.
#pragma once

#include "driver/kernel/ks.h"

namespace pelgar {

struct PelgarDevice;

// ---- The platform's property structures of the two standard sets: the 24-byte property header, then the
// values; the platform aligns them on 8 bytes.

struct alignas(8) KSPROPERTY_VIDEOPROCAMP_S {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
};
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL = 0x0002;

struct alignas(8) KSPROPERTY_VIDEODECODER_CAPS_S {
  KSPROPERTY Property;
  ULONG StandardsSupported;
  ULONG Capabilities;
  ULONG SettlingTime;
  ULONG HSyncPerVSync;
};
static_assert(sizeof(KSPROPERTY_VIDEODECODER_CAPS_S) == 40);

struct alignas(8) KSPROPERTY_VIDEODECODER_S {
  KSPROPERTY Property;
  ULONG Value;
};
static_assert(sizeof(KSPROPERTY_VIDEODECODER_S) == 32);

struct alignas(8) KSPROPERTY_VIDEODECODER_STATUS_S {
  KSPROPERTY Property;
  ULONG NumberOfLines;
  ULONG SignalLocked;
};
static_assert(sizeof(KSPROPERTY_VIDEODECODER_STATUS_S) == 32);

// Items of the processing amplifier: 0 brightness, 1 contrast, 2 hue, 3 saturation, 4 sharpness are the
// decoder's; 5 (gamma) and 6 (colour enable) are accepted and do nothing; 7 ... 9 are listed and refused
// with STATUS_NOT_SUPPORTED.
inline constexpr ULONG kProcAmpBrightness = 0;
inline constexpr ULONG kProcAmpContrast = 1;
inline constexpr ULONG kProcAmpHue = 2;
inline constexpr ULONG kProcAmpSaturation = 3;
inline constexpr ULONG kProcAmpSharpness = 4;
inline constexpr ULONG kProcAmpItemCount = 10;

// Items of the video decoder set.
inline constexpr ULONG kDecoderCaps = 0;
inline constexpr ULONG kDecoderStandard = 1;
inline constexpr ULONG kDecoderStatus = 2;
// What the decoder set advertises: every KS analogue standard (bit 3 names none), the capability to report
// signal lock, the settling time after an input change in milliseconds and the sync pulses per field sync.
inline constexpr ULONG kDecoderStandards = 0x001FFFF7;
inline constexpr ULONG kDecoderCapabilities = 4;
inline constexpr ULONG kDecoderSettlingMs = 10;
inline constexpr ULONG kDecoderHSyncPerVSync = 6;

// ---- The diagnostic set. The request is the bare 24-byte property header; the value buffer holds the
// item's layout below, little-endian. Lengths and counts outside their limits, encoder memory offsets that
// are not a multiple of 4 or whose words would leave encoder memory, and register offsets that are not a
// multiple of 4 or lie outside the register half of the window fail with STATUS_INVALID_PARAMETER before
// anything reaches the card.

inline constexpr ULONG kDiagI2cWrite = 0;       // set: write `length` bytes to `address`, then STOP
inline constexpr ULONG kDiagI2cRead = 1;        // get: read `length` (1 ... 16) bytes from `address` into data
inline constexpr ULONG kDiagI2cWriteRead = 2;   // get: write, then read behind a repeated start into read
inline constexpr ULONG kDiagMemoryRead = 3;     // get: `count` words of encoder memory at `offset` into words
inline constexpr ULONG kDiagMemoryWrite = 4;    // set: words to encoder memory
inline constexpr ULONG kDiagRegisterRead = 5;   // get: the chip register at `offset` into value
inline constexpr ULONG kDiagRegisterWrite = 6;  // set: value to the chip register
inline constexpr ULONG kDiagCommand = 7;        // get: a waited mailbox command with 16 arguments and 16 results

inline constexpr ULONG kDiagI2cBytes = 16;
inline constexpr ULONG kDiagI2cWriteBytes = 8;
inline constexpr ULONG kDiagMemoryWords = 64;

struct DiagI2cTransfer {
  UCHAR address;  // the device's 8-bit address (bit 0 is replaced by the direction)
  UCHAR length;   // 0 ... 16 for a write, 1 ... 16 for a read
  UCHAR data[kDiagI2cBytes];
};
static_assert(sizeof(DiagI2cTransfer) == 18);

struct DiagI2cWriteRead {
  UCHAR address;
  UCHAR writeLength;  // 0 ... 8
  UCHAR write[kDiagI2cWriteBytes];
  UCHAR readLength;  // 1 ... 16
  UCHAR read[kDiagI2cBytes];
};
static_assert(sizeof(DiagI2cWriteRead) == 27);

struct DiagMemory {
  ULONG offset;  // encoder memory offset, a multiple of 4
  ULONG count;   // 0 ... 64 words
  ULONG words[kDiagMemoryWords];
};
static_assert(sizeof(DiagMemory) == 264);

struct DiagRegister {
  ULONG offset;  // from the register half of the window, a multiple of 4
  ULONG value;
};
static_assert(sizeof(DiagRegister) == 8);

struct DiagCommand {
  ULONG code;
  ULONG words[16];    // arguments in, results out
  ULONG returnValue;  // what the firmware answered
};
static_assert(sizeof(DiagCommand) == 72);

extern const GUID kProcAmpPropertySet;       // PROPSETID_VIDCAP_VIDEOPROCAMP
extern const GUID kVideoDecoderPropertySet;  // PROPSETID_VIDCAP_VIDEODECODER
extern const GUID kDiagnosticPropertySet;

// Changes the card's analogue video standard (passive level). `standard` must be one supported standard
// (a single bit of kDecoderStandards), else STATUS_INVALID_PARAMETER. With the same line count as the current
// standard the decoder only takes the new standard. A change of line count takes the device lock and is
// refused with STATUS_INVALID_DEVICE_STATE while any stream runs, with nothing changed; otherwise the
// decoder takes the standard, "VideoStandard" is written, the frame height follows the line count (480 and
// 576, 240 and 288) and the encoder is configured in full, whose failure is returned (the standard stays).
NTSTATUS ChangeVideoStandard(PelgarDevice* device, ULONG standard);

extern const KSAUTOMATION_TABLE kVideoCaptureAutomationTable;

}  // namespace pelgar
