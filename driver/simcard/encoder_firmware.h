// The firmware of the card's MPEG encoder as the driver meets it through the window: a processor that is held
// in reset and released through the encoder control registers, that runs only the image it expects (the
// project's test image, firmware_image.h) once the loader has put it into encoder memory, and that then shows
// its mailbox signature, answers commands in its mailboxes, produces the test program stream (mpeg_stream.h),
// asks for DMA through the request record and interrupt, and moves data into host memory by walking the
// driver's descriptor lists through the machine's physical map.
//
// Processor control: register 0x9058 bit 2 holds the processor in reset while set. Setting it stops the
// firmware (capture stops, pending answers are lost); clearing it after a hold starts the processor, which
// checks encoder memory 0 ... 255999 against the loaded test image and boots 20 ms later, or refuses and stays
// stopped. The other encoder control registers (0x07F8, 0x07FC, 0x9054, 0xA064, 0x2120) are recorded in the
// card's register log and do not change what the firmware does.
//
// Mailboxes (little-endian words in encoder memory, mailbox 0 16 bytes after the signature, 80 bytes apart):
// flags, command, return value, time-out word, 16 argument/result words. Mailbox 0 carries waited commands,
// 1 ... 7 posted ones; the firmware takes a command when the driver writes 3 to a flags word, answers it after
// the answer delay (return value, results) and then sets flags bit 2. From the hand-over until the answer the
// mailbox is the firmware's: the host may only take it back by writing its flags word (0); writing any other
// word of it is a fault. At +640 from mailbox 0 lies the done
// report (+656 flags, +660 stream index), at +720 the DMA request record (+736 stream index, +740 address,
// +744 byte count, +748/+752 second plane). Requests are raised one at a time, oldest data first, for the
// program stream (stream 0), raw video (stream 1) and raw audio (stream 2); each is answered by command 0xCC.
//
// Auxiliary records (after command 0xC7 with a record count): while encoder capture runs the firmware writes
// one 24-byte record per frame (six words: record number, packs made, 0x52585541, ring index, 0, 0) into a
// ring of that many records from the ring base + 4; the word at the ring base holds the address of the
// record it writes next.
//
// VBI ring (after command 0xC8): N buffers of S bytes from offset O; the word at O - 4 holds the offset of the
// buffer completed last. While encoder capture runs the firmware fills one buffer per frame: a 12-byte header
// (frame number, lines per frame, bytes per line), then for each line a 1456-byte record: FF 00 00 and the
// field's start-code byte (bits 31-24 of the start-code word for the first field's lines, 23-16 for the
// second), 1440 sample bytes (never FF) and 12 padding bytes; all of it as big-endian words, like the
// program stream.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver/kernel/sim/kernel.h"
#include "driver/simcard/card_file.h"

namespace simcard {

class SimCard;

inline constexpr uint32_t kMailboxBytes = 80;
inline constexpr uint32_t kMailboxes = 8;  // 0 waited, 1 ... 7 posted
inline constexpr uint32_t kMailboxAreaBytes = 10 * kMailboxBytes;
inline constexpr uint32_t kMailboxHandedOver = 3;
inline constexpr uint32_t kMailboxDone = 4;
inline constexpr uint32_t kDoneReportFlags = 656;  // from mailbox 0
inline constexpr uint32_t kDoneReportIndex = 660;
inline constexpr uint32_t kRequestIndex = 736;
inline constexpr uint32_t kRequestAddress = 740;
inline constexpr uint32_t kRequestCount = 744;
inline constexpr uint32_t kRequestAddress2 = 748;
inline constexpr uint32_t kRequestCount2 = 752;

// Return values the firmware writes.
inline constexpr uint32_t kCommandOk = 0;
inline constexpr uint32_t kBadArgument = 0xFFFFFFFE;
inline constexpr uint32_t kUnknownCommand = 0xFFFFFFFF;

// The firmware's data areas in encoder memory.
inline constexpr uint32_t kMpegRingBase = 0x00100000;
inline constexpr uint32_t kMpegSlotBytes = 0x40000;  // one request's data at most (128 packs)
inline constexpr uint32_t kMpegSlots = 16;
inline constexpr uint32_t kAudioRingBase = 0x00600000;
inline constexpr uint32_t kAudioSlotBytes = 0x800;
inline constexpr uint32_t kAudioSlots = 16;
inline constexpr uint32_t kVideoRingBase = 0x00800000;
inline constexpr uint32_t kVideoSlotBytes = 0x100000;  // one frame: both planes
inline constexpr uint32_t kVideoSlots = 4;
inline constexpr uint32_t kVbiRingOffset = 0x01E00000;  // the ring's write position lives 4 bytes before it
inline constexpr uint32_t kVbiBuffers = 8;
inline constexpr uint32_t kVbiFramesPerBuffer = 1;
inline constexpr uint32_t kAuxRingBase = 0x01F00000;  // write position word, records from +4
inline constexpr uint32_t kAuxRecordBytes = 24;

// Streams of the DMA request record.
inline constexpr uint32_t kMpegStream = 0;
inline constexpr uint32_t kVideoStream = 1;
inline constexpr uint32_t kAudioStream = 2;

// Raw video frames have two planes: luma (width x height bytes) and chroma (width x height / 2 bytes), the
// second starting at the next 4 KiB boundary after the first. Each plane begins with the frame's number as a
// little-endian word; byte i >= 4 of plane p is (frame * 3 + i * 7 + p * 101) & 0xFF.
uint8_t RawVideoByte(uint64_t frame, uint32_t plane, uint32_t offset);

// Raw audio comes in blocks of a 12-byte header (block number, sampling rate, payload bytes; little-endian
// words) and 441 stereo frames of 16-bit little-endian samples: left = the frame's number in the capture,
// right = its complement.
inline constexpr uint32_t kAudioBlockFrames = 441;
inline constexpr uint32_t kAudioBlockBytes = 12 + 4 * kAudioBlockFrames;  // 1776
std::array<uint8_t, kAudioBlockBytes> RawAudioBlock(uint64_t n, uint32_t rate);
// The sampling rate an audio word selects (bits 0-1: 0 44100, 2 32000, otherwise 48000).
uint32_t AudioRate(uint32_t audioWord);

inline constexpr ksim::Time kBootTime = 20 * ksim::kMillisecond;
inline constexpr ksim::Time kRequestGap = 50 * ksim::kMicrosecond;    // between a done report and the next request
inline constexpr ksim::Time kDmaSetupTime = 10 * ksim::kMicrosecond;  // a transfer takes this plus its bytes
inline constexpr uint32_t kDmaBytesPerTick = 10;                      // 100 MB/s: 10 bytes per 100 ns
inline constexpr uint32_t kDefaultBitRate = 6000000;                  // until a 0x95 command sets one

// One command as the firmware took it from a mailbox.
struct MailboxCommand {
  uint32_t number = 0;  // 1-based count of commands taken since the card was built
  uint32_t mailbox = 0;
  uint32_t code = 0;
  uint32_t timeoutWord = 0;
  std::array<uint32_t, 16> args{};
  bool answered = false;  // false: dropped by an error switch, the flags stay 3
  uint32_t returnValue = 0;
  std::vector<uint32_t> results;
  // "mb0 0x95(1,5000000,17500) -> 0x0 [..]": arguments and results in decimal with the trailing zero argument
  // words left out, the return value in hexadecimal, " dropped" for a command never answered.
  std::string Text() const;
  bool operator==(const MailboxCommand&) const = default;
};

struct DmaDescriptor {
  uint32_t source = 0;
  uint32_t destination = 0;
  uint32_t count = 0;
  bool last = false;
  bool operator==(const DmaDescriptor&) const = default;
};

// One DMA request and what became of it.
struct DmaTransfer {
  uint32_t stream = 0;
  uint32_t address = 0;    // encoder memory
  uint32_t count = 0;      // bytes requested
  uint64_t firstPack = 0;  // number of the first pack, video frame or audio block carried
  uint32_t packs = 0;      // how many of them
  uint32_t list = 0;       // descriptor list the driver scheduled; 0: the driver had no buffer, data dropped
  uint32_t scheduled = 0;  // byte count of the driver's schedule command
  std::vector<DmaDescriptor> descriptors;
  uint32_t copied = 0;     // bytes written into host memory
  bool completed = false;  // every descriptor executed
};

// What the encoder has been told; reset to these values at every boot.
struct EncoderState {
  bool encoderCapture = false;  // 0x81/0x82 stream kind 0
  bool rawCapture = false;      // stream kind 1: raw video frames (stream 1) and audio blocks (stream 2)
  bool inputChanging = false;   // 0xDA 1 ... 0xDA 0: production paused
  uint32_t frameRate = 0;       // 0x8F: 0 525-line, 1 625-line
  uint32_t height = 480, width = 720;
  uint32_t bitRateMode = 1, bitRate = kDefaultBitRate, peakRate400 = 0, muxedRate400 = 0;
  uint32_t gopPictures = 15, gopBFrames = 3;
  bool closedGop = false, inverseTelecine = false;
  uint32_t streamType = 14;
  uint32_t audioWord = 0;
  uint32_t spatialFilterType[2] = {0, 0};
  uint32_t filterMode = 0, medianType = 0, spatialLevel = 0, temporalLevel = 0;
  uint32_t coring[4] = {0, 0, 0, 0};                        // luma high, luma low, chroma high, chroma low
  uint32_t captureWindow[2] = {0, 0};                       // 0xD6
  uint32_t bringUp[2] = {0, 0};                             // 0xC9
  std::vector<std::pair<uint32_t, uint32_t>> bringUpSteps;  // 0xDC arguments, in order
  uint32_t configurationsEnded = 0;                         // 0xCD
  struct Vbi {
    bool configured = false;
    std::array<uint32_t, 7> args{};             // of 0xC8
    uint32_t bufferSize = 0;                    // S
    uint32_t linesField1 = 0, linesField2 = 0;  // 0xB7: bit n = line n enabled
    uint32_t written = 0;                       // VBI buffers filled since the configuration
  } vbi;
  bool auxConfigured = false;
  uint32_t auxRecords = 0;
};

class EncoderFirmware {
 public:
  enum class Run { Off, Held, Booting, Running, Refused };

  EncoderFirmware(ksim::Kernel& kernel, SimCard& card, const CardDescription& description);
  ~EncoderFirmware();
  EncoderFirmware(const EncoderFirmware&) = delete;
  EncoderFirmware& operator=(const EncoderFirmware&) = delete;

  // Called by the card for every driver write to an encoder control register or to encoder memory, after
  // the write took effect. Runs in the writer's context.
  void RegisterWritten(uint32_t offset, uint32_t value);
  void MemoryWritten(uint32_t offset, uint32_t value);

  Run State() const { return run_; }
  uint32_t Boots() const { return boots_; }
  uint32_t Refusals() const { return refusals_; }
  // Encoder memory offset of mailbox 0 while the firmware runs with a signature.
  std::optional<uint32_t> MailboxOffset() const { return mailbox0_; }
  const EncoderState& Encoder() const { return state_; }

  const std::vector<MailboxCommand>& CommandLog() const { return log_; }
  // One line per command (MailboxCommand::Text), each ending in a newline.
  std::string CommandLogText() const;
  void ClearCommandLog() { log_.clear(); }
  const std::vector<DmaTransfer>& Transfers() const { return transfers_; }

  // Packs of the program stream: made since the capture started, delivered into host memory, dropped because
  // the driver answered without a list, and lost because the firmware's ring was full.
  uint64_t PacksMade() const { return nextPack_; }
  uint64_t PacksDelivered() const { return delivered_; }
  uint64_t PacksDropped() const { return dropped_; }
  uint64_t PacksOverflowed() const { return overflowed_; }
  // The same for raw video frames and raw audio blocks.
  uint64_t VideoFramesMade() const { return nextFrame_; }
  uint64_t VideoFramesDelivered() const { return videoDelivered_; }
  uint64_t VideoFramesDropped() const { return videoDropped_; }
  uint64_t VideoFramesOverflowed() const { return videoOverflowed_; }
  uint64_t AudioBlocksMade() const { return nextBlock_; }
  uint64_t AudioBlocksDelivered() const { return audioDelivered_; }
  uint64_t AudioBlocksDropped() const { return audioDropped_; }
  uint64_t AudioBlocksOverflowed() const { return audioOverflowed_; }

  // Error switches at run time (the card file sets the same at power-up).
  void SetSilent(bool on) { silent_ = on; }
  void SetAnswerDelay(ksim::Time delay) { answerDelay_ = delay; }
  void DropCommand(uint32_t number) { droppedNumbers_.insert(number); }
  void DropCode(uint32_t code) { droppedCodes_.insert(code); }
  // Test switch: command 0xC8 reports this ring (frames per buffer, buffer count, offset) instead of its
  // own, as a firmware with another memory layout would; the firmware still writes its own ring.
  void ReportVbiRing(uint32_t frames, uint32_t buffers, uint32_t offset) { vbiReport_ = {frames, buffers, offset}; }

 private:
  struct Chunk {
    uint32_t stream;
    uint32_t address;
    uint32_t count;
    uint64_t firstPack;
    uint32_t packs;
    uint32_t address2 = 0;  // raw video: the chroma plane
    uint32_t count2 = 0;
  };

  void Schedule(ksim::Time delay, std::function<void()> action, uint64_t* slot = nullptr);
  void CancelAll();
  void Hold();
  void Release();
  void Boot();
  void Take(uint32_t mailbox);
  uint32_t Execute(uint32_t code, const std::array<uint32_t, 16>& args, std::vector<uint32_t>& results);
  uint32_t Word(uint32_t offset) const;
  void SetWord(uint32_t offset, uint32_t value);
  void StartCapture(uint32_t stream);
  void StopCapture(uint32_t stream);
  size_t Waiting(uint32_t stream) const;
  void MakeAudio(ksim::Time period);
  void MakeVideo();
  void WriteAuxRecord();
  void Tick();
  void Request();
  void WriteVbiBuffer();
  uint32_t Schedule0xCC(uint32_t list, uint32_t count);
  bool RunList(DmaTransfer& transfer);

  ksim::Kernel& kernel_;
  SimCard& card_;
  std::optional<uint32_t> signatureOffset_;
  Run run_ = Run::Off;
  uint32_t boots_ = 0;
  uint32_t refusals_ = 0;
  std::optional<uint32_t> mailbox0_;
  EncoderState state_;
  bool silent_;
  ksim::Time answerDelay_;
  std::set<uint32_t> droppedNumbers_;
  std::set<uint32_t> droppedCodes_;
  std::optional<std::array<uint32_t, 3>> vbiReport_;
  uint32_t commandsTaken_ = 0;
  std::vector<MailboxCommand> log_;
  std::map<uint64_t, bool> events_;               // hardware events scheduled and not yet run
  std::array<uint64_t, kMailboxes> answering_{};  // the pending answer event per mailbox (0: none)
  uint64_t tick_ = 0;
  // Program stream production and transfer.
  std::deque<Chunk> ready_;  // made and not yet transferred; the front one is requested when requested_
  bool requested_ = false;
  bool transferring_ = false;  // a transfer runs; its done report is still to come
  uint32_t slot_ = 0;
  uint64_t nextPack_ = 0;
  uint64_t bitBudget_ = 0;  // bits × 100 ns not yet turned into packs
  uint32_t vbiBuffer_ = 0;  // the VBI buffer completed last (its offset is the ring's write position)
  uint64_t delivered_ = 0, dropped_ = 0, overflowed_ = 0;
  uint32_t videoSlot_ = 0;
  uint64_t nextFrame_ = 0;
  uint64_t videoDelivered_ = 0, videoDropped_ = 0, videoOverflowed_ = 0;
  uint32_t audioSlot_ = 0;
  uint64_t nextBlock_ = 0;
  uint64_t sampleBudget_ = 0;  // samples × 100 ns not yet turned into blocks
  uint64_t audioDelivered_ = 0, audioDropped_ = 0, audioOverflowed_ = 0;
  uint32_t auxWrite_ = 0;    // the record written next
  uint32_t auxWritten_ = 0;  // records written since the set-up
  std::vector<DmaTransfer> transfers_;
};

}  // namespace simcard
