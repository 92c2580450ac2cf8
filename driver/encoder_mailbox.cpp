#include "driver/encoder_mailbox.h"

#include "driver/decoders.h"
#include "driver/device.h"
#include "driver/driver_services.h"
#include "driver/encoder_settings.h"
#include "driver/i2c_bus.h"
#include "driver/peripherals.h"

namespace pelgar {

namespace {

// ---- The encoder's control registers

// A register the encoder takes as one whole word.
template <ULONG Offset>
struct EncoderWord {
  static constexpr ULONG kOffset = Offset;
  ULONG value = 0;
  static EncoderWord FromValue(ULONG v) { return {v}; }
  ULONG Value() const { return value; }
};

// Encoder enable: cleared before the processor is reset.
using EncoderEnable = EncoderWord<0xA064>;
// First reset register: all ones resets the encoder's memory interface.
using EncoderReset0 = EncoderWord<0x9054>;
// Second reset register: active-low reset lines of the encoder's blocks; bit 2 holds the processor in reset
// while set.
struct EncoderReset1 {
  static constexpr ULONG kOffset = 0x9058;
  static constexpr ULONG kProcessorHeld = 1u << 2;
  bool processorHeld = false;
  ULONG otherBits = 0;
  static EncoderReset1 FromValue(ULONG v) { return {(v & kProcessorHeld) != 0, v & ~kProcessorHeld}; }
  ULONG Value() const { return otherBits | (processorHeld ? kProcessorHeld : 0); }
  static EncoderReset1 Raw(ULONG v) { return FromValue(v); }
};
// Memory controller set-up of the encoder (refresh and timing words).
using EncoderControl0 = EncoderWord<0x07F8>;
using EncoderControl1 = EncoderWord<0x07FC>;
// Tells the running firmware that the host has found its mailbox.
using EncoderRun = EncoderWord<0x2120>;

// Register values of the reset sequence.
constexpr ULONG kResetBlocks = 0xFFFFFFEE;      // processor and memory held
constexpr ULONG kResetMemory = 0xFFFFFFFF;      // memory interface reset pulse
constexpr ULONG kResetReleaseOne = 0xFFFFFFFE;  // memory interface out of reset, processor still held
constexpr ULONG kResetRunning = 0xFFFFFFEA;     // every block released
constexpr ULONG kMemoryRefresh = 0x1A;
constexpr ULONG kMemoryTiming = 0x80000640;
constexpr ULONG kRunSignal = 0x80;

// The image: 64000 little-endian words copied to encoder memory offset 0, read 4 bytes at a time.
constexpr WCHAR kFirmwarePath[] = u"\\SystemRoot\\system32\\drivers\\nvpelgar.rom";
constexpr ULONG kImageBytes = 256000;
constexpr ULONG kPatchPointer = 0x38;
constexpr ULONG kPatchWords = 18;
constexpr ULONG kLastPatchOffset = kImageBytes - 4 * kPatchWords;  // 255928
constexpr ULONG kPatch[kPatchWords] = {0x4750494F, 0,          0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                                       0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                                       0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0};

// Wait times of the reset sequence: the reset lines need 10 ms each; the processor boots within 200 ms
// of its release and has its mailboxes set up 400 ms after the last reset write.
constexpr ULONG kResetSettleMs = 10;
constexpr ULONG kReleaseSettleMs = 200;
constexpr ULONG kBootMs = 400;

// The mailbox signature: at a multiple of 256 below 2560; mailbox 0 follows 16 bytes after it.
constexpr ULONG kSignature[4] = {0x12345678, 0x34567812, 0x56781234, 0x78123456};
constexpr ULONG kSignatureStep = 256;
constexpr ULONG kSignatureLimit = 2560;
constexpr ULONG kSignatureLastOffset = 2304;

// Mailbox words.
constexpr ULONG kMailboxBytes = 80;
constexpr ULONG kPostingMailboxes = 7;
constexpr ULONG kFlags = 0, kCode = 4, kReturn = 8, kTimeoutWord = 12, kArguments = 16;
constexpr ULONG kHandedOver = 3;
constexpr ULONG kDone = 1u << 2;
constexpr ULONG kTimeoutValue = 0x60000000;

// Command codes.
constexpr ULONG kPing = 0x80;
constexpr ULONG kStartCapture = 0x81;
constexpr ULONG kStopCapture = 0x82;
constexpr ULONG kFrameRate = 0x8F;
constexpr ULONG kVbiLine = 0xB7;
constexpr ULONG kVbiSetup = 0xC8;
constexpr ULONG kBringUpMode = 0xC9;
constexpr ULONG kConfigurationEnd = 0xCD;
constexpr ULONG kCaptureWindow = 0xD6;
constexpr ULONG kInputChange = 0xDA;
constexpr ULONG kBringUpStep = 0xDC;

// Stream kinds of the capture commands.
constexpr ULONG kEncoderCapture = 0;
constexpr ULONG kRawCapture = 1;
constexpr ULONG kEncoderSideStreams = kStreamMpeg | kStreamVbi | kStreamAux;
constexpr ULONG kRawStreams = kStreamRawVideo | kStreamRawAudio;

// VBI: lines 2 ... 24 of each field are offered, the standard's window enabled; each line is 1456 bytes.
struct VbiWindow {
  ULONG first, last, linesPerField;
};
constexpr VbiWindow kVbi525 = {10, 21, 12};
constexpr VbiWindow kVbi625 = {6, 23, 18};
constexpr ULONG kVbiFirstLine = 2, kVbiLastLine = 24;
constexpr ULONG kVbiRecordBytes = 1456;
constexpr ULONG kVbiSetupWord = 0xBD05;
constexpr ULONG kSecondField = 0x80000000;
constexpr ULONGLONG kEncoderMemoryBytes = 0x2000000;

// Peripheral registers that quieten the output during an input change.
constexpr UCHAR kB8QuietRegister = 0x16, kB8Quiet = 0xD0, kB8Normal = 0x10;
constexpr UCHAR k24QuietRegister = 0x00, k24Quiet = 0xD0, k24Normal = 0x00;

void LockMutex(KMUTEX* mutex) { KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr); }

}  // namespace

EncoderCommand EncoderCommand::Make(ULONG code, std::initializer_list<ULONG> arguments, UCHAR results) {
  EncoderCommand command{};
  command.code = code;
  for (ULONG value : arguments) {
    if (command.argumentCount == 16) break;
    command.words[command.argumentCount++] = value;
  }
  command.resultCount = results > 16 ? 16 : results;
  return command;
}

NTSTATUS EncoderMailbox::Create(ChipRegisters regs, PUCHAR mem, PelgarDevice* device, EncoderMailbox** mailbox) {
  *mailbox = NewTagged<EncoderMailbox>(std::source_location::current(), regs, mem, device);
  if (*mailbox == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  regs.Write(InterruptMask::AllMasked());
  regs.Read<InterruptMask>();
  return STATUS_SUCCESS;
}

void EncoderMailbox::Destroy(EncoderMailbox* mailbox) { DeleteTagged(mailbox); }

EncoderMailbox::EncoderMailbox(ChipRegisters regs, PUCHAR mem, PelgarDevice* device)
    : regs_(regs),
      mem_(mem),
      device_(device),
      ready_(false),
      mailboxOffset_(kDefaultMailboxOffset),
      droppedPosts_(0) {
  KeInitializeMutex(&mutex_, 0);
}

// ---- Encoder memory and registers

ULONG EncoderMailbox::ReadMemory(ULONG offset) const {
  return READ_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(mem_ + offset));
}

void EncoderMailbox::WriteMemory(ULONG offset, ULONG value) const {
  WRITE_REGISTER_ULONG(reinterpret_cast<volatile ULONG*>(mem_ + offset), value);
  ReadMemory(offset);  // flushes the posted write
}

namespace {
template <class R>
void WriteFlushed(ChipRegisters regs, const R& r) {
  regs.Write(r);
  regs.Read<R>();
}
}  // namespace

// ---- Firmware load

NTSTATUS EncoderMailbox::CopyImage() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kFirmwarePath);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK io;
  HANDLE file = nullptr;
  NTSTATUS status =
      ZwCreateFile(&file, GENERIC_READ, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
  if (!NT_SUCCESS(status)) return status;
  for (ULONG offset = 0; offset < kImageBytes; offset += 4) {
    ULONG word = 0;
    LARGE_INTEGER at;
    at.QuadPart = offset;
    status = ZwReadFile(file, nullptr, nullptr, nullptr, &io, &word, sizeof word, &at, nullptr);
    if (NT_SUCCESS(status) && io.Information != sizeof word) status = STATUS_END_OF_FILE;  // a short last word
    if (!NT_SUCCESS(status)) break;
    WriteMemory(offset, word);
  }
  ZwClose(file);
  if (!NT_SUCCESS(status)) return status;

  // The image names the block its loader patches; a block past the image or off a word boundary is left.
  ULONG patch = ReadMemory(kPatchPointer);
  if (patch <= kLastPatchOffset && patch % 4 == 0)
    for (ULONG i = 0; i < kPatchWords; ++i) WriteMemory(patch + 4 * i, kPatch[i]);
  return STATUS_SUCCESS;
}

NTSTATUS EncoderMailbox::ResetLoadRelease() {
  WriteFlushed(regs_, EncoderEnable{0});
  WriteFlushed(regs_, EncoderReset1::Raw(kResetBlocks));
  SleepMs(kResetSettleMs);
  WriteFlushed(regs_, EncoderReset0{kResetMemory});
  SleepMs(kResetSettleMs);
  WriteFlushed(regs_, EncoderReset1::Raw(kResetReleaseOne));
  SleepMs(kResetSettleMs);
  WriteFlushed(regs_, EncoderReset1::Raw(kResetBlocks));
  WriteFlushed(regs_, EncoderControl1{kMemoryRefresh});
  WriteFlushed(regs_, EncoderControl0{kMemoryTiming});

  // Without a complete image the processor stays in reset: released, it would run whatever memory holds.
  NTSTATUS status = CopyImage();
  if (!NT_SUCCESS(status)) return status;

  WriteFlushed(regs_, EncoderReset1::Raw(kResetRunning));
  SleepMs(kReleaseSettleMs);
  EncoderReset1 reset = regs_.Read<EncoderReset1>();
  reset.processorHeld = false;
  WriteFlushed(regs_, reset);
  SleepMs(kBootMs);
  return STATUS_SUCCESS;
}

bool EncoderMailbox::FindSignature(ULONG* offset) {
  for (ULONG at = 0; at <= kSignatureLastOffset && at < kSignatureLimit; at += kSignatureStep) {
    bool match = true;
    for (ULONG i = 0; i < 4 && match; ++i) match = ReadMemory(at + 4 * i) == kSignature[i];
    if (match) {
      *offset = at + 16;
      return true;
    }
  }
  return false;
}

NTSTATUS EncoderMailbox::LoadAndStart() {
  LockMutex(&mutex_);
  ready_ = false;
  NTSTATUS status = ResetLoadRelease();
  ULONG found = 0;
  if (NT_SUCCESS(status) && !FindSignature(&found)) status = STATUS_DEVICE_NOT_READY;  // the firmware did not run
  if (NT_SUCCESS(status)) {
    mailboxOffset_ = found;
    WriteFlushed(regs_, EncoderRun{kRunSignal});
    ready_ = true;
  }
  KeReleaseMutex(&mutex_, FALSE);
  return status;
}

void EncoderMailbox::Reset() {
  LockMutex(&mutex_);
  ready_ = false;
  KeReleaseMutex(&mutex_, FALSE);
}

// ---- Commands

void EncoderMailbox::FillMailbox(ULONG offset, const EncoderCommand& command) const {
  WriteMemory(offset + kTimeoutWord, kTimeoutValue);
  WriteMemory(offset + kCode, command.code);
  ULONG count = command.argumentCount > 16 ? 16 : command.argumentCount;
  for (ULONG i = 0; i < 16; ++i) WriteMemory(offset + kArguments + 4 * i, i < count ? command.words[i] : 0);
  WriteMemory(offset + kFlags, kHandedOver);
}

NTSTATUS EncoderMailbox::Send(EncoderCommand* command) {
  // A waited command sleeps; from a DPC or the interrupt routine only Post may be used.
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_INVALID_DEVICE_REQUEST;
  NoteEncoderActivity(device_);
  LockMutex(&mutex_);
  if (!ready_) {
    KeReleaseMutex(&mutex_, FALSE);
    return STATUS_DEVICE_NOT_READY;
  }
  const ULONG box = mailboxOffset_;
  FillMailbox(box, *command);
  // The firmware takes the command at its next mailbox scan and sets the done bit when it has answered.
  SleepMs(kFirstPollMs);
  ULONG flags = ReadMemory(box + kFlags);
  for (ULONG poll = 0; (flags & kDone) == 0 && poll < kPolls; ++poll) {
    SleepMs(kPollMs);
    flags = ReadMemory(box + kFlags);
  }
  if ((flags & kDone) == 0) {
    SleepMs(kPollMs);
    WriteMemory(box + kFlags, 0);  // taken back: a late answer must not land in the next command
    KeReleaseMutex(&mutex_, FALSE);
    return STATUS_IO_TIMEOUT;
  }
  command->returnValue = ReadMemory(box + kReturn);
  ULONG results = command->resultCount > 16 ? 16 : command->resultCount;
  for (ULONG i = 0; i < results; ++i) command->words[i] = ReadMemory(box + kArguments + 4 * i);
  KeReleaseMutex(&mutex_, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS EncoderMailbox::Send(ULONG code, std::initializer_list<ULONG> arguments, UCHAR resultCount, ULONG* results) {
  EncoderCommand command = EncoderCommand::Make(code, arguments, resultCount);
  NTSTATUS status = Send(&command);
  if (NT_SUCCESS(status) && results != nullptr)
    for (ULONG i = 0; i < command.resultCount; ++i) results[i] = command.words[i];
  return status;
}

NTSTATUS EncoderMailbox::Post(const EncoderCommand& command) {
  NoteEncoderActivity(device_);  // at DISPATCH_LEVEL this only counts
  if (!ready_) return STATUS_DEVICE_NOT_READY;
  const ULONG base = mailboxOffset_;
  for (ULONG box = 1; box <= kPostingMailboxes; ++box) {
    ULONG offset = base + box * kMailboxBytes;
    if (ReadMemory(offset + kFlags) == kHandedOver) continue;  // still with the firmware
    FillMailbox(offset, command);
    return STATUS_SUCCESS;
  }
  InterlockedIncrement(&droppedPosts_);
  return STATUS_DEVICE_BUSY;
}

bool EncoderMailbox::Ping() { return Send(kPing, {}) == STATUS_SUCCESS; }

// ---- Configuration sequences

NTSTATUS EncoderMailbox::Configure(PelgarDevice* device, BOOLEAN force) {
  // The configuration needs the card's settings and front end, which exist from the board construction on.
  if (!ready_ || device->settings == nullptr || device->decoder == nullptr || device->audio == nullptr)
    return STATUS_DEVICE_NOT_READY;
  if (!Ping()) {
    // The firmware stopped answering: load it again where it was, and tell it everything. Posted commands
    // are refused while the processor is held.
    LockMutex(&mutex_);
    ready_ = false;
    NTSTATUS status = ResetLoadRelease();
    ULONG found = 0;
    if (NT_SUCCESS(status) && !(FindSignature(&found) && found == mailboxOffset_)) status = STATUS_DEVICE_NOT_READY;
    ready_ = NT_SUCCESS(status);
    KeReleaseMutex(&mutex_, FALSE);
    if (!NT_SUCCESS(status)) return status;
    force = TRUE;
  }
  if (force) {
    EncoderSettings* settings = device->settings;
    VideoDecoder* decoder = device->decoder;
    bool is525 = decoder->Is525Line();
    NTSTATUS status = settings->SendParameters();
    ULONG window[2] = {0, 0};
    decoder->CaptureWindow(&window[0], &window[1]);
    if (NT_SUCCESS(status)) status = Send(kCaptureWindow, {window[0], window[1]});
    if (NT_SUCCESS(status)) status = Send(kBringUpMode, {1, 1});
    ULONG answer = 0;
    if (NT_SUCCESS(status)) status = Send(kBringUpStep, {3, 1}, 1, &answer);
    if (NT_SUCCESS(status)) status = Send(kFrameRate, {is525 ? 0u : 1u});
    if (!NT_SUCCESS(status)) return status;
    decoder->SetCaptureSize(static_cast<ULONG>(settings->Width()), static_cast<ULONG>(settings->Height()));
    ULONG rate = AudioWord::Rate(settings->AudioField(AudioWord::kSamplingShift, AudioWord::kSamplingMask));
    decoder->SetAudioRate(rate);
    device->audio->SetSamplingRate(rate);
    status = Send(kBringUpStep, {4, 1});
    if (NT_SUCCESS(status)) status = ConfigureVbi(device);
    if (!NT_SUCCESS(status)) return status;
  }
  return Send(kConfigurationEnd, {});
}

NTSTATUS EncoderMailbox::ConfigureVbi(PelgarDevice* device) {
  VideoDecoder* decoder = device->decoder;
  if (decoder == nullptr) return STATUS_DEVICE_NOT_READY;
  const bool is525 = decoder->Is525Line();
  const VbiWindow& window = is525 ? kVbi525 : kVbi625;
  g_is525Lines = is525 ? TRUE : FALSE;
  const ULONG lines = 2 * window.linesPerField;
  const ULONG startCode = decoder->VbiStartCodeWord();
  vbi_ = VbiLayout{};
  ULONG results[3] = {0, 0, 0};
  NTSTATUS status =
      Send(kVbiSetup, {kVbiSetupWord, 1, 4, startCode, decoder->VbiSecondWord(), lines, kVbiRecordBytes}, 3, results);
  if (!NT_SUCCESS(status)) return status;

  // The ring as the firmware reports it: frames per buffer, buffer count, offset. A ring that does not lie
  // inside encoder memory (or has no room for its write position word in front) is not used.
  const ULONGLONG frames = results[0], count = results[1], offset = results[2];
  const ULONGLONG size = (frames * (ULONGLONG{lines} * kVbiRecordBytes + 12)) / 16 * 16 + 16;
  if (frames != 0 && count != 0 && offset >= 4 && offset % 4 == 0 && size <= 0xFFFFFFFFull &&
      offset + count * size <= kEncoderMemoryBytes) {
    vbi_.valid = true;
    vbi_.ringOffset = static_cast<ULONG>(offset);
    vbi_.bufferSize = static_cast<ULONG>(size);
    vbi_.bufferCount = static_cast<ULONG>(count);
  }
  vbi_.linesPerField = window.linesPerField;
  vbi_.startCodes[0] = static_cast<UCHAR>(startCode >> 24);
  vbi_.startCodes[1] = static_cast<UCHAR>(startCode >> 16);

  for (ULONG line = kVbiFirstLine; line <= kVbiLastLine && NT_SUCCESS(status); ++line) {
    ULONG enable = line >= window.first && line <= window.last ? 1 : 0;
    status = Send(kVbiLine, {line, enable, 0, 0, 0});
    if (NT_SUCCESS(status)) status = Send(kVbiLine, {line | kSecondField, enable, 0, 0, 0});
  }
  return status;
}

NTSTATUS EncoderMailbox::StartStream(PelgarDevice* device, ULONG bit) {
  NTSTATUS status = STATUS_SUCCESS;
  if ((bit & kEncoderSideStreams) != 0 && (device->streamMask & kEncoderSideStreams) == 0)
    status = Send(kStartCapture, {kEncoderCapture, 0});
  else if ((bit & kRawStreams) != 0 && (device->streamMask & kRawStreams) == 0)
    status = Send(kStartCapture, {kRawCapture, 0});
  if (NT_SUCCESS(status)) device->streamMask |= bit;
  return status;
}

NTSTATUS EncoderMailbox::StopStream(PelgarDevice* device, ULONG bit) {
  const ULONG was = device->streamMask;
  device->streamMask = was & ~bit;
  if ((was & bit) == 0) return STATUS_SUCCESS;
  if ((bit & kEncoderSideStreams) != 0 && (device->streamMask & kEncoderSideStreams) == 0)
    return Send(kStopCapture, {1, kEncoderCapture, 0});
  if ((bit & kRawStreams) != 0 && (device->streamMask & kRawStreams) == 0)
    return Send(kStopCapture, {1, kRawCapture, 0});
  return STATUS_SUCCESS;
}

namespace {
NTSTATUS WritePeripheral(PelgarDevice* device, Peripheral* peripheral, UCHAR reg, UCHAR value) {
  if (peripheral == nullptr) return STATUS_SUCCESS;
  const UCHAR bytes[2] = {reg, value};
  return device->i2c->Write(peripheral->Address(), sizeof bytes, bytes, TRUE, FALSE);
}
}  // namespace

NTSTATUS EncoderMailbox::BeginInputChange(PelgarDevice* device) {
  NTSTATUS status = Send(kInputChange, {1});
  if (device->audio != nullptr) device->audio->Mute();
  NTSTATUS quiet = WritePeripheral(device, device->peripheralB8, kB8QuietRegister, kB8Quiet);
  NTSTATUS quiet24 = WritePeripheral(device, device->peripheral24, k24QuietRegister, k24Quiet);
  if (NT_SUCCESS(status)) status = NT_SUCCESS(quiet) ? quiet24 : quiet;
  return status;
}

NTSTATUS EncoderMailbox::EndInputChange(PelgarDevice* device) {
  if (device->audio != nullptr) device->audio->Unmute();
  NTSTATUS status = WritePeripheral(device, device->peripheralB8, kB8QuietRegister, kB8Normal);
  NTSTATUS normal24 = WritePeripheral(device, device->peripheral24, k24QuietRegister, k24Normal);
  NTSTATUS resume = Send(kInputChange, {0});
  if (NT_SUCCESS(status)) status = normal24;
  if (NT_SUCCESS(status)) status = resume;
  return status;
}

}  // namespace pelgar
