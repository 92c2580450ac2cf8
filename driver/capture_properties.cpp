#include "driver/capture_properties.h"

#include "driver/decoders.h"
#include "driver/device.h"
#include "driver/encoder_mailbox.h"
#include "driver/encoder_settings.h"
#include "driver/filters.h"
#include "driver/i2c_bus.h"

namespace pelgar {

const GUID kProcAmpPropertySet = {0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
const GUID kVideoDecoderPropertySet = {0xC6E13350, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
const GUID kDiagnosticPropertySet = {0x3D23B637, 0x97FE, 0x422A, {0x9D, 0xB1, 0x24, 0x42, 0x10, 0xBD, 0x72, 0xF6}};

namespace {

// The card's decoder, or null when the request reaches no started card.
VideoDecoder* DecoderFromIrp(PIRP irp) {
  PelgarDevice* device = DeviceFromIrp(irp);
  return device != nullptr ? device->decoder : nullptr;
}

template <class T>
NTSTATUS Returned(PIRP irp) {
  irp->IoStatus.Information = sizeof(T);
  return STATUS_SUCCESS;
}

// ---- Video processing amplifier

NTSTATUS GetProcAmp(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  VideoDecoder* decoder = DecoderFromIrp(irp);
  if (decoder == nullptr) return STATUS_UNSUCCESSFUL;
  auto* out = static_cast<KSPROPERTY_VIDEOPROCAMP_S*>(data);
  LONG value = 0;
  switch (request->Id) {
    case kProcAmpBrightness: value = decoder->Brightness(); break;
    case kProcAmpContrast: value = decoder->Contrast(); break;
    case kProcAmpHue: value = decoder->Hue(); break;
    case kProcAmpSaturation: value = decoder->Saturation(); break;
    case kProcAmpSharpness: value = decoder->Sharpness(); break;
    case 5:
    case 6: break;  // gamma and colour enable: nothing to adjust, reported as manual controls at 0
    default: return STATUS_NOT_SUPPORTED;
  }
  out->Value = value;
  out->Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  out->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  return Returned<KSPROPERTY_VIDEOPROCAMP_S>(irp);
}

NTSTATUS SetProcAmp(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  VideoDecoder* decoder = DecoderFromIrp(irp);
  if (decoder == nullptr) return STATUS_UNSUCCESSFUL;
  const LONG value = static_cast<const KSPROPERTY_VIDEOPROCAMP_S*>(data)->Value;
  bool accepted = true;
  switch (request->Id) {
    case kProcAmpBrightness: accepted = decoder->SetBrightness(value); break;
    case kProcAmpContrast: accepted = decoder->SetContrast(value); break;
    case kProcAmpHue: accepted = decoder->SetHue(value); break;
    case kProcAmpSaturation: accepted = decoder->SetSaturation(value); break;
    case kProcAmpSharpness: accepted = decoder->SetSharpness(value); break;
    case 5:
    case 6: break;
    default: return STATUS_NOT_SUPPORTED;
  }
  return accepted ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// ---- Video decoder

NTSTATUS GetDecoderCaps(PIRP irp, PKSIDENTIFIER, PVOID data) {
  if (DecoderFromIrp(irp) == nullptr) return STATUS_UNSUCCESSFUL;
  auto* out = static_cast<KSPROPERTY_VIDEODECODER_CAPS_S*>(data);
  out->StandardsSupported = kDecoderStandards;
  out->Capabilities = kDecoderCapabilities;
  out->SettlingTime = kDecoderSettlingMs;
  out->HSyncPerVSync = kDecoderHSyncPerVSync;
  return Returned<KSPROPERTY_VIDEODECODER_CAPS_S>(irp);
}

NTSTATUS GetDecoderStandard(PIRP irp, PKSIDENTIFIER, PVOID data) {
  VideoDecoder* decoder = DecoderFromIrp(irp);
  if (decoder == nullptr) return STATUS_UNSUCCESSFUL;
  static_cast<KSPROPERTY_VIDEODECODER_S*>(data)->Value = decoder->Standard();
  return Returned<KSPROPERTY_VIDEODECODER_S>(irp);
}

NTSTATUS SetDecoderStandard(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr) return STATUS_UNSUCCESSFUL;
  return ChangeVideoStandard(device, static_cast<const KSPROPERTY_VIDEODECODER_S*>(data)->Value);
}

NTSTATUS GetDecoderStatus(PIRP irp, PKSIDENTIFIER, PVOID data) {
  VideoDecoder* decoder = DecoderFromIrp(irp);
  if (decoder == nullptr) return STATUS_UNSUCCESSFUL;
  auto* out = static_cast<KSPROPERTY_VIDEODECODER_STATUS_S*>(data);
  out->NumberOfLines = decoder->Is525Line() ? 525 : 625;
  out->SignalLocked = decoder->SignalLocked() ? 1 : 0;
  return Returned<KSPROPERTY_VIDEODECODER_STATUS_S>(irp);
}

// ---- Diagnostics

I2cBus* BusFromIrp(PIRP irp) {
  PelgarDevice* device = DeviceFromIrp(irp);
  return device != nullptr ? device->i2c : nullptr;
}

NTSTATUS HandleDiagI2cWrite(PIRP irp, PKSIDENTIFIER, PVOID data) {
  I2cBus* bus = BusFromIrp(irp);
  if (bus == nullptr) return STATUS_UNSUCCESSFUL;
  const auto* in = static_cast<const DiagI2cTransfer*>(data);
  if (in->length > kDiagI2cBytes) return STATUS_INVALID_PARAMETER;
  return bus->Write(in->address, in->length, in->data, TRUE, FALSE);
}

NTSTATUS HandleDiagI2cRead(PIRP irp, PKSIDENTIFIER, PVOID data) {
  I2cBus* bus = BusFromIrp(irp);
  if (bus == nullptr) return STATUS_UNSUCCESSFUL;
  auto* io = static_cast<DiagI2cTransfer*>(data);
  if (io->length == 0 || io->length > kDiagI2cBytes) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = bus->Read(io->address, io->length, io->data, FALSE);
  if (!NT_SUCCESS(status)) return status;
  return Returned<DiagI2cTransfer>(irp);
}

NTSTATUS HandleDiagI2cWriteRead(PIRP irp, PKSIDENTIFIER, PVOID data) {
  I2cBus* bus = BusFromIrp(irp);
  if (bus == nullptr) return STATUS_UNSUCCESSFUL;
  auto* io = static_cast<DiagI2cWriteRead*>(data);
  if (io->writeLength > kDiagI2cWriteBytes || io->readLength == 0 || io->readLength > kDiagI2cBytes)
    return STATUS_INVALID_PARAMETER;
  NTSTATUS status = bus->WriteRead(io->address, io->writeLength, io->write, io->readLength, io->read, FALSE);
  if (!NT_SUCCESS(status)) return status;
  return Returned<DiagI2cWriteRead>(irp);
}

// The first of `count` words at `offset` of encoder memory (the lower half of the window), or null when an
// offset is not word-aligned or a word would leave encoder memory.
volatile ULONG* EncoderWords(const PelgarDevice* device, ULONG offset, ULONG count) {
  if (device->mem == nullptr || count > kDiagMemoryWords || offset % 4 != 0) return nullptr;
  const ULONGLONG bytes = device->length < kRegisterHalf ? device->length : kRegisterHalf;
  if (offset >= bytes || ULONGLONG{offset} + ULONGLONG{count} * 4 > bytes) return nullptr;
  return reinterpret_cast<volatile ULONG*>(device->mem + offset);
}

NTSTATUS HandleDiagMemoryRead(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr || device->mem == nullptr) return STATUS_UNSUCCESSFUL;
  auto* io = static_cast<DiagMemory*>(data);
  volatile ULONG* words = EncoderWords(device, io->offset, io->count);
  if (words == nullptr) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < io->count; ++i) io->words[i] = READ_REGISTER_ULONG(words + i);
  return Returned<DiagMemory>(irp);
}

NTSTATUS HandleDiagMemoryWrite(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr || device->mem == nullptr) return STATUS_UNSUCCESSFUL;
  const auto* in = static_cast<const DiagMemory*>(data);
  volatile ULONG* words = EncoderWords(device, in->offset, in->count);
  if (words == nullptr) return STATUS_INVALID_PARAMETER;
  for (ULONG i = 0; i < in->count; ++i) WRITE_REGISTER_ULONG(words + i, in->words[i]);
  return STATUS_SUCCESS;
}

// A chip register at `offset` from the register half of the window, or null when the offset is not
// word-aligned or lies outside that half. The diagnostic reaches registers by number, so it goes past the
// typed register declarations on purpose.
volatile ULONG* ChipRegister(const PelgarDevice* device, ULONG offset) {
  if (device->base == nullptr || device->length <= kRegisterHalf || offset % 4 != 0) return nullptr;
  if (ULONGLONG{offset} + 4 > device->length - kRegisterHalf) return nullptr;
  return reinterpret_cast<volatile ULONG*>(device->base + kRegisterHalf + offset);
}

NTSTATUS HandleDiagRegisterRead(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr || device->base == nullptr) return STATUS_UNSUCCESSFUL;
  auto* io = static_cast<DiagRegister*>(data);
  volatile ULONG* reg = ChipRegister(device, io->offset);
  if (reg == nullptr) return STATUS_INVALID_PARAMETER;
  io->value = READ_REGISTER_ULONG(reg);
  return Returned<DiagRegister>(irp);
}

NTSTATUS HandleDiagRegisterWrite(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr || device->base == nullptr) return STATUS_UNSUCCESSFUL;
  const auto* in = static_cast<const DiagRegister*>(data);
  volatile ULONG* reg = ChipRegister(device, in->offset);
  if (reg == nullptr) return STATUS_INVALID_PARAMETER;
  WRITE_REGISTER_ULONG(reg, in->value);
  return STATUS_SUCCESS;
}

NTSTATUS HandleDiagMailboxCommand(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PelgarDevice* device = DeviceFromIrp(irp);
  if (device == nullptr || device->mailbox == nullptr) return STATUS_UNSUCCESSFUL;
  auto* io = static_cast<DiagCommand*>(data);
  EncoderCommand command{};
  command.code = io->code;
  command.argumentCount = 16;
  command.resultCount = 16;
  for (ULONG i = 0; i < 16; ++i) command.words[i] = io->words[i];
  NTSTATUS status = device->mailbox->Send(&command);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG i = 0; i < 16; ++i) io->words[i] = command.words[i];
  io->returnValue = command.returnValue;
  return Returned<DiagCommand>(irp);
}

// ---- Items and their value descriptions

// The processing amplifier's stepped ranges and defaults (brightness, contrast, hue, saturation, sharpness).
const KSPROPERTY_STEPPING_LONG kProcAmpRanges[5] = {
    {39, 0, {{0, VideoDecoder::kProcAmpMax}}},   {39, 0, {{0, VideoDecoder::kProcAmpMax}}},
    {39, 0, {{0, VideoDecoder::kProcAmpMax}}},   {39, 0, {{0, VideoDecoder::kProcAmpMax}}},
    {10, 0, {{0, VideoDecoder::kSharpnessMax}}},
};
const LONG kProcAmpDefaults[5] = {5000, 4750, 5240, 6670, 50};

struct ProcAmpMembers {
  KSPROPERTY_MEMBERSLIST list[2];
};
constexpr ProcAmpMembers Members(ULONG i) {
  return {{{{KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kProcAmpRanges[i]},
           {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT}, &kProcAmpDefaults[i]}}};
}
const ProcAmpMembers kProcAmpMembers[5] = {Members(0), Members(1), Members(2), Members(3), Members(4)};

constexpr KSPROPERTY_VALUES Values(ULONG i) {
  return {{KSPROPTYPESETID_General, VT_I4, 0}, 2, kProcAmpMembers[i].list};
}
const KSPROPERTY_VALUES kProcAmpValues[5] = {Values(0), Values(1), Values(2), Values(3), Values(4)};

constexpr KSPROPERTY_ITEM ProcAmpItem(ULONG id) {
  return {id,
          GetProcAmp,
          sizeof(KSPROPERTY_VIDEOPROCAMP_S),
          sizeof(KSPROPERTY_VIDEOPROCAMP_S),
          SetProcAmp,
          id < 5 ? &kProcAmpValues[id] : nullptr,
          0,
          nullptr,
          nullptr,
          sizeof(ULONG)};
}
const KSPROPERTY_ITEM kProcAmpItemTable[kProcAmpItemCount] = {
    ProcAmpItem(0), ProcAmpItem(1), ProcAmpItem(2), ProcAmpItem(3), ProcAmpItem(4),
    ProcAmpItem(5), ProcAmpItem(6), ProcAmpItem(7), ProcAmpItem(8), ProcAmpItem(9)};

template <class T>
constexpr KSPROPERTY_ITEM DecoderItem(ULONG id, PFNKSHANDLER get, PFNKSHANDLER set) {
  return {id, get, sizeof(T), sizeof(T), set, nullptr, 0, nullptr, nullptr, 0};
}
const KSPROPERTY_ITEM kDecoderItems[] = {
    DecoderItem<KSPROPERTY_VIDEODECODER_CAPS_S>(kDecoderCaps, GetDecoderCaps, nullptr),
    DecoderItem<KSPROPERTY_VIDEODECODER_S>(kDecoderStandard, GetDecoderStandard, SetDecoderStandard),
    DecoderItem<KSPROPERTY_VIDEODECODER_STATUS_S>(kDecoderStatus, GetDecoderStatus, nullptr),
};

template <class T>
constexpr KSPROPERTY_ITEM DiagItem(ULONG id, PFNKSHANDLER get, PFNKSHANDLER set) {
  return {id, get, sizeof(KSPROPERTY), sizeof(T), set, nullptr, 0, nullptr, nullptr, sizeof(ULONG)};
}
const KSPROPERTY_ITEM kDiagItems[] = {
    DiagItem<DiagI2cTransfer>(kDiagI2cWrite, nullptr, HandleDiagI2cWrite),
    DiagItem<DiagI2cTransfer>(kDiagI2cRead, HandleDiagI2cRead, nullptr),
    DiagItem<DiagI2cWriteRead>(kDiagI2cWriteRead, HandleDiagI2cWriteRead, nullptr),
    DiagItem<DiagMemory>(kDiagMemoryRead, HandleDiagMemoryRead, nullptr),
    DiagItem<DiagMemory>(kDiagMemoryWrite, nullptr, HandleDiagMemoryWrite),
    DiagItem<DiagRegister>(kDiagRegisterRead, HandleDiagRegisterRead, nullptr),
    DiagItem<DiagRegister>(kDiagRegisterWrite, nullptr, HandleDiagRegisterWrite),
    DiagItem<DiagCommand>(kDiagCommand, HandleDiagMailboxCommand, nullptr),
};

template <class T, ULONG N>
constexpr ULONG Count(const T (&)[N]) {
  return N;
}

const KSPROPERTY_SET kVideoCapturePropertySets[] = {
    {&kProcAmpPropertySet, Count(kProcAmpItemTable), kProcAmpItemTable, 0, nullptr},
    {&kVideoDecoderPropertySet, Count(kDecoderItems), kDecoderItems, 0, nullptr},
    {&kDiagnosticPropertySet, Count(kDiagItems), kDiagItems, 0, nullptr},
};

}  // namespace

NTSTATUS ChangeVideoStandard(PelgarDevice* device, ULONG standard) {
  if (device == nullptr || device->decoder == nullptr) return STATUS_UNSUCCESSFUL;
  // One standard, and one the decoder knows.
  if (standard == 0 || (standard & (standard - 1)) != 0 || (standard & ~kDecoderStandards) != 0)
    return STATUS_INVALID_PARAMETER;
  VideoDecoder* decoder = device->decoder;
  const bool is525 = (standard & VideoDecoder::k525LineStandards) != 0;
  if (is525 == decoder->Is525Line()) {
    // Same frame geometry: only the decoder's colour system changes.
    decoder->SetStandard(standard);
    return STATUS_SUCCESS;
  }
  LockDevice(device);
  if (device->streamMask != 0) {
    // The running streams' frame size and VBI lines follow the line count: refused, nothing changes.
    UnlockDevice(device);
    return STATUS_INVALID_DEVICE_STATE;
  }
  decoder->SetStandard(standard);
  device->videoStandard = standard;
  device->WriteValue("VideoStandard", standard);
  if (EncoderSettings* settings = device->settings) {
    const LONG height = settings->Height();
    LONG next = height;
    if (is525 && height == 576) next = 480;
    if (is525 && height == 288) next = 240;
    if (!is525 && height == 480) next = 576;
    if (!is525 && height == 240) next = 288;
    // Its command is sent again by the full configuration below, which reports any failure.
    if (next != height) settings->SetFrameSize(settings->Width(), next);
  }
  NTSTATUS status = device->mailbox != nullptr ? device->mailbox->Configure(device, TRUE) : STATUS_DEVICE_NOT_READY;
  UnlockDevice(device);
  // The capture filters' internal format follows the line count the decoder now has.
  SwitchCaptureRanges(device);
  return status;
}

const KSAUTOMATION_TABLE kVideoCaptureAutomationTable = {Count(kVideoCapturePropertySets),
                                                         sizeof(KSPROPERTY_ITEM),
                                                         kVideoCapturePropertySets,
                                                         0,
                                                         0,
                                                         nullptr,
                                                         0,
                                                         0,
                                                         nullptr,
                                                         nullptr};

}  // namespace pelgar
