#include "driver/simcard/encoder_firmware.h"

#include <algorithm>
#include <cstdio>

#include "driver/simcard/firmware_image.h"
#include "driver/simcard/mpeg_stream.h"
#include "driver/simcard/sim_card.h"

namespace simcard {
namespace {

constexpr uint32_t kProcessorReset = 1u << 2;   // register 0x9058
constexpr ksim::Time kFramePeriod525 = 333667;  // 100-ns units
constexpr ksim::Time kFramePeriod625 = 400000;
constexpr uint32_t kMaxDescriptors = 4096 / 12;
constexpr uint32_t kDescriptorLast = 1u << 31;
constexpr uint32_t kDescriptorCount = 0x3FFFF;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

}  // namespace

uint32_t AudioRate(uint32_t audioWord) {
  switch (audioWord & 3) {
    case 0: return 44100;
    case 2: return 32000;
    default: return 48000;
  }
}

uint8_t RawVideoByte(uint64_t frame, uint32_t plane, uint32_t offset) {
  if (offset < 4) return static_cast<uint8_t>(frame >> (8 * offset));
  return static_cast<uint8_t>(frame * 3 + uint64_t{offset} * 7 + plane * 101);
}

std::array<uint8_t, kAudioBlockBytes> RawAudioBlock(uint64_t n, uint32_t rate) {
  std::array<uint8_t, kAudioBlockBytes> block{};
  uint32_t header[3] = {static_cast<uint32_t>(n), rate, kAudioBlockBytes - 12};
  for (uint32_t i = 0; i < 12; ++i) block[i] = static_cast<uint8_t>(header[i / 4] >> (8 * (i % 4)));
  for (uint32_t f = 0; f < kAudioBlockFrames; ++f) {
    auto left = static_cast<uint16_t>(n * kAudioBlockFrames + f);
    auto right = static_cast<uint16_t>(~left);
    uint8_t* at = &block[12 + 4 * f];
    at[0] = static_cast<uint8_t>(left), at[1] = static_cast<uint8_t>(left >> 8);
    at[2] = static_cast<uint8_t>(right), at[3] = static_cast<uint8_t>(right >> 8);
  }
  return block;
}

std::string MailboxCommand::Text() const {
  std::string text = "mb" + std::to_string(mailbox) + " " + Hex(code) + "(";
  size_t shown = args.size();
  while (shown > 0 && args[shown - 1] == 0) --shown;
  for (size_t i = 0; i < shown; ++i) text += (i ? "," : "") + std::to_string(args[i]);
  text += ")";
  if (!answered) return text + " dropped";
  text += " -> " + Hex(returnValue);
  if (!results.empty()) {
    text += " [";
    for (size_t i = 0; i < results.size(); ++i) text += (i ? "," : "") + std::to_string(results[i]);
    text += "]";
  }
  return text;
}

EncoderFirmware::EncoderFirmware(ksim::Kernel& kernel, SimCard& card, const CardDescription& description)
    : kernel_(kernel),
      card_(card),
      signatureOffset_(description.signatureOffset),
      silent_(description.firmwareSilent),
      answerDelay_(static_cast<ksim::Time>(description.answerDelay) * ksim::kMicrosecond),
      droppedNumbers_(description.droppedCommands),
      droppedCodes_(description.droppedCodes) {}

EncoderFirmware::~EncoderFirmware() { CancelAll(); }

std::string EncoderFirmware::CommandLogText() const {
  std::string text;
  for (const MailboxCommand& c : log_) text += c.Text() + "\n";
  return text;
}

uint32_t EncoderFirmware::Word(uint32_t offset) const { return card_.MemoryWord(offset); }
void EncoderFirmware::SetWord(uint32_t offset, uint32_t value) { card_.SetMemoryWord(offset, value); }

void EncoderFirmware::Schedule(ksim::Time delay, std::function<void()> action, uint64_t* slot) {
  // The id is known only after scheduling; the action looks itself up through a shared cell.
  auto self = std::make_shared<uint64_t>(0);
  *self = kernel_.ScheduleAt(kernel_.Now() + delay, [this, self, slot, action = std::move(action)] {
    events_.erase(*self);
    if (slot != nullptr && *slot == *self) *slot = 0;
    action();
  });
  events_[*self] = true;
  if (slot != nullptr) {
    if (*slot != 0) {
      kernel_.Cancel(*slot);
      events_.erase(*slot);
    }
    *slot = *self;
  }
}

void EncoderFirmware::CancelAll() {
  for (const auto& [id, live] : events_) kernel_.Cancel(id);
  events_.clear();
  answering_.fill(0);
  tick_ = 0;
}

void EncoderFirmware::RegisterWritten(uint32_t offset, uint32_t value) {
  if (offset != reg::kEncoderReset1) return;
  if ((value & kProcessorReset) != 0) {
    if (run_ != Run::Held) Hold();
  } else if (run_ == Run::Held) {
    Release();
  }
}

void EncoderFirmware::Hold() {
  CancelAll();
  run_ = Run::Held;
  mailbox0_.reset();
  ready_.clear();
  requested_ = transferring_ = false;
  state_.encoderCapture = state_.rawCapture = false;
}

void EncoderFirmware::Release() {
  const std::vector<uint8_t>& image = LoadedFirmwareImage();
  for (uint32_t offset = 0; offset < image.size(); offset += 4) {
    uint32_t expected = static_cast<uint32_t>(image[offset]) | static_cast<uint32_t>(image[offset + 1]) << 8 |
                        static_cast<uint32_t>(image[offset + 2]) << 16 |
                        static_cast<uint32_t>(image[offset + 3]) << 24;
    if (Word(offset) != expected) {
      run_ = Run::Refused;
      ++refusals_;
      return;
    }
  }
  run_ = Run::Booting;
  Schedule(kBootTime, [this] { Boot(); });
}

void EncoderFirmware::Boot() {
  run_ = Run::Running;
  ++boots_;
  state_ = EncoderState{};
  nextPack_ = 0;
  if (!signatureOffset_ || *signatureOffset_ + 16 + kMailboxAreaBytes > kEncoderMemoryLength) return;
  for (uint32_t i = 0; i < kMailboxSignature.size(); ++i) SetWord(*signatureOffset_ + 4 * i, kMailboxSignature[i]);
  mailbox0_ = *signatureOffset_ + 16;
  for (uint32_t i = 0; i < kMailboxAreaBytes; i += 4) SetWord(*mailbox0_ + i, 0);
}

void EncoderFirmware::MemoryWritten(uint32_t offset, uint32_t value) {
  if (run_ != Run::Running || !mailbox0_) return;
  if (offset < *mailbox0_ || offset >= *mailbox0_ + kMailboxes * kMailboxBytes) return;
  uint32_t mailbox = (offset - *mailbox0_) / kMailboxBytes;
  uint32_t base = *mailbox0_ + mailbox * kMailboxBytes;
  if (offset != base) {
    // A handed-over mailbox belongs to the firmware until it answers or the host takes it back (flags 0).
    if (Word(base) == kMailboxHandedOver)
      kernel_.Fault("card: word +" + std::to_string(offset - base) + " of mailbox " + std::to_string(mailbox) +
                    " written while the firmware holds the mailbox");
    return;
  }
  if (silent_ || value != kMailboxHandedOver) return;
  Schedule(
      answerDelay_, [this, mailbox] { Take(mailbox); }, &answering_[mailbox]);
}

void EncoderFirmware::Take(uint32_t mailbox) {
  uint32_t base = *mailbox0_ + mailbox * kMailboxBytes;
  if (Word(base) != kMailboxHandedOver) return;  // taken back before the firmware got to it
  MailboxCommand c;
  c.number = ++commandsTaken_;
  c.mailbox = mailbox;
  c.code = Word(base + 4);
  c.timeoutWord = Word(base + 12);
  for (uint32_t i = 0; i < 16; ++i) c.args[i] = Word(base + 16 + 4 * i);
  if (droppedNumbers_.count(c.number) || droppedCodes_.count(c.code)) {
    log_.push_back(c);
    return;
  }
  c.answered = true;
  c.returnValue = Execute(c.code, c.args, c.results);
  SetWord(base + 8, c.returnValue);
  for (uint32_t i = 0; i < c.results.size(); ++i) SetWord(base + 16 + 4 * i, c.results[i]);
  log_.push_back(c);
  SetWord(base, Word(base) | kMailboxDone);
}

uint32_t EncoderFirmware::Execute(uint32_t code, const std::array<uint32_t, 16>& a, std::vector<uint32_t>& results) {
  EncoderState& s = state_;
  switch (code) {
    case 0x80: return kCommandOk;
    case 0x81:
      if (a[0] > 1) return kBadArgument;
      StartCapture(a[0] == 0 ? kMpegStream : kAudioStream);
      return kCommandOk;
    case 0x82:
      if (a[1] > 1) return kBadArgument;
      StopCapture(a[1] == 0 ? kMpegStream : kAudioStream);
      return kCommandOk;
    case 0x8F:
      if (a[0] > 1) return kBadArgument;
      s.frameRate = a[0];
      return kCommandOk;
    case 0x91: s.height = a[0], s.width = a[1]; return kCommandOk;
    case 0x95: s.bitRateMode = a[0], s.bitRate = a[1], s.peakRate400 = a[2], s.muxedRate400 = a[3]; return kCommandOk;
    case 0x97: s.gopPictures = a[0], s.gopBFrames = a[1]; return kCommandOk;
    case 0x9B: s.filterMode = a[0], s.medianType = a[1]; return kCommandOk;
    case 0x9D: s.spatialLevel = a[0], s.temporalLevel = a[1]; return kCommandOk;
    case 0x9F:
      for (int i = 0; i < 4; ++i) s.coring[i] = a[i];
      return kCommandOk;
    case 0xA1: s.spatialFilterType[0] = a[0], s.spatialFilterType[1] = a[1]; return kCommandOk;
    case 0xB1: s.inverseTelecine = a[0] != 0; return kCommandOk;
    case 0xB7: {
      uint32_t line = a[0] & 0x7FFFFFFF;
      if (line > 31) return kBadArgument;
      uint32_t& lines = (a[0] & 0x80000000) ? s.vbi.linesField2 : s.vbi.linesField1;
      lines = a[1] ? (lines | 1u << line) : (lines & ~(1u << line));
      return kCommandOk;
    }
    case 0xB9: s.streamType = a[0]; return kCommandOk;
    case 0xBD: s.audioWord = a[0]; return kCommandOk;
    case 0xC4: results = {kFirmwareVersion}; return kCommandOk;
    case 0xC5: s.closedGop = a[0] != 0; return kCommandOk;
    case 0xC7:
      s.auxConfigured = true;
      s.auxRecords = a[1];
      SetWord(kAuxRingBase, kAuxRingBase + 4);  // write position: no record yet
      auxWrite_ = auxWritten_ = 0;
      results = {kAuxRingBase, a[1]};
      return kCommandOk;
    case 0xC8: {
      // Arguments: 0xBD05, 1, 4, start-code word, second VBI word, lines per frame, bytes per line.
      uint64_t size = static_cast<uint64_t>(kVbiFramesPerBuffer) * (static_cast<uint64_t>(a[5]) * a[6] + 12);
      uint64_t bufferSize = size / 16 * 16 + 16;
      if (a[5] == 0 || a[6] < 4 || bufferSize * kVbiBuffers > kAuxRingBase - kVbiRingOffset) return kBadArgument;
      s.vbi.configured = true;
      std::copy(a.begin(), a.begin() + 7, s.vbi.args.begin());
      s.vbi.bufferSize = static_cast<uint32_t>(bufferSize);
      SetWord(kVbiRingOffset - 4, kVbiRingOffset);  // buffer 0 counts as done: the next one filled is 1
      vbiBuffer_ = 0;
      s.vbi.written = 0;
      results = {kVbiFramesPerBuffer, kVbiBuffers, kVbiRingOffset};
      if (vbiReport_) results.assign(vbiReport_->begin(), vbiReport_->end());
      return kCommandOk;
    }
    case 0xC9: s.bringUp[0] = a[0], s.bringUp[1] = a[1]; return kCommandOk;
    case 0xCC: return Schedule0xCC(a[0], a[1]);
    case 0xCD: ++s.configurationsEnded; return kCommandOk;
    case 0xD6: s.captureWindow[0] = a[0], s.captureWindow[1] = a[1]; return kCommandOk;
    case 0xDA: s.inputChanging = a[0] != 0; return kCommandOk;
    case 0xDC:
      s.bringUpSteps.emplace_back(a[0], a[1]);
      if (a[0] == 3) results = {1};
      return kCommandOk;
    default: return kUnknownCommand;
  }
}

void EncoderFirmware::StartCapture(uint32_t stream) {
  bool& running = stream == kMpegStream ? state_.encoderCapture : state_.rawCapture;
  if (running) return;
  running = true;
  if (stream == kMpegStream) {
    nextPack_ = 0;
    bitBudget_ = 0;
  } else {
    nextFrame_ = 0;
    nextBlock_ = 0;
    sampleBudget_ = 0;
  }
  if (tick_ == 0)
    Schedule(
        state_.frameRate == 0 ? kFramePeriod525 : kFramePeriod625, [this] { Tick(); }, &tick_);
}

void EncoderFirmware::StopCapture(uint32_t stream) {
  bool& running = stream == kMpegStream ? state_.encoderCapture : state_.rawCapture;
  if (!running) return;
  running = false;
  if (!state_.encoderCapture && !state_.rawCapture && tick_ != 0) {
    kernel_.Cancel(tick_);
    events_.erase(tick_);
    tick_ = 0;
  }
  // Data made and not yet requested is thrown away; a request already raised can still be answered.
  for (size_t i = ready_.size(); i-- > (requested_ ? 1u : 0u);)
    if (ready_[i].stream == stream || (stream == kAudioStream && ready_[i].stream == kVideoStream))
      ready_.erase(ready_.begin() + static_cast<long>(i));
}

size_t EncoderFirmware::Waiting(uint32_t stream) const {
  return static_cast<size_t>(
      std::count_if(ready_.begin(), ready_.end(), [&](const Chunk& c) { return c.stream == stream; }));
}

// One frame period of encoding: VBI and auxiliary records, the packs the bit rate pays for, and the audio
// blocks the sampling rate fills, each into the next slot of its ring.
void EncoderFirmware::Tick() {
  ksim::Time period = state_.frameRate == 0 ? kFramePeriod525 : kFramePeriod625;
  Schedule(
      period, [this] { Tick(); }, &tick_);
  if (state_.inputChanging) return;
  if (state_.rawCapture) MakeVideo(), MakeAudio(period);
  if (!state_.encoderCapture) {
    Request();
    return;
  }
  if (state_.vbi.configured) WriteVbiBuffer();
  if (state_.auxConfigured) WriteAuxRecord();
  constexpr uint64_t kPackBits = uint64_t{kMpegPackBytes} * 8 * ksim::kSecond;
  bitBudget_ += static_cast<uint64_t>(state_.bitRate) * static_cast<uint64_t>(period);
  auto packs = static_cast<uint32_t>(std::min<uint64_t>(bitBudget_ / kPackBits, kMpegSlotBytes / kMpegPackBytes));
  bitBudget_ %= kPackBits;
  if (packs == 0) return Request();
  if (Waiting(kMpegStream) == kMpegSlots) {
    nextPack_ += packs;  // the ring is full: these packs are never seen
    overflowed_ += packs;
    return Request();
  }
  Chunk chunk{kMpegStream, kMpegRingBase + slot_ * kMpegSlotBytes, packs * kMpegPackBytes, nextPack_, packs};
  slot_ = (slot_ + 1) % kMpegSlots;
  for (uint32_t p = 0; p < packs; ++p) {
    auto pack = MpegPack(nextPack_ + p);
    for (uint32_t k = 0; k < kMpegPackBytes / 4; ++k)
      SetWord(chunk.address + p * kMpegPackBytes + 4 * k, MpegPackWord(pack, k));
  }
  nextPack_ += packs;
  ready_.push_back(chunk);
  Request();
}

void EncoderFirmware::MakeVideo() {
  uint32_t luma = state_.width * state_.height, chroma = luma / 2;
  uint32_t second = (luma + 4095) / 4096 * 4096;
  if (luma == 0 || second + chroma > kVideoSlotBytes) return;  // a frame size the capture cannot hold
  if (Waiting(kVideoStream) == kVideoSlots) {
    ++nextFrame_;  // the ring is full: this frame is never seen
    ++videoOverflowed_;
    return;
  }
  uint32_t address = kVideoRingBase + videoSlot_ * kVideoSlotBytes;
  videoSlot_ = (videoSlot_ + 1) % kVideoSlots;
  uint32_t sizes[2] = {luma, chroma};
  for (uint32_t plane = 0; plane < 2; ++plane) {
    uint32_t at = address + plane * second;
    for (uint32_t k = 0; k < sizes[plane]; k += 4) {
      uint32_t word = 0;
      for (uint32_t b = 0; b < 4; ++b)
        word |= static_cast<uint32_t>(RawVideoByte(nextFrame_, plane, k + b)) << (8 * b);
      SetWord(at + k, word);
    }
  }
  Chunk chunk{kVideoStream, address, luma, nextFrame_++, 1, address + second, chroma};
  ready_.push_back(chunk);
}

void EncoderFirmware::MakeAudio(ksim::Time period) {
  constexpr uint64_t kBlockSamples = uint64_t{kAudioBlockFrames} * ksim::kSecond;
  sampleBudget_ += uint64_t{AudioRate(state_.audioWord)} * static_cast<uint64_t>(period);
  for (; sampleBudget_ >= kBlockSamples; sampleBudget_ -= kBlockSamples) {
    if (Waiting(kAudioStream) == kAudioSlots) {
      ++nextBlock_;  // the ring is full: this block is never seen
      ++audioOverflowed_;
      continue;
    }
    Chunk chunk{kAudioStream, kAudioRingBase + audioSlot_ * kAudioSlotBytes, kAudioBlockBytes, nextBlock_, 1};
    audioSlot_ = (audioSlot_ + 1) % kAudioSlots;
    auto block = RawAudioBlock(nextBlock_++, AudioRate(state_.audioWord));
    for (uint32_t k = 0; k < kAudioBlockBytes; k += 4)
      SetWord(chunk.address + k, static_cast<uint32_t>(block[k]) | static_cast<uint32_t>(block[k + 1]) << 8 |
                                     static_cast<uint32_t>(block[k + 2]) << 16 |
                                     static_cast<uint32_t>(block[k + 3]) << 24);
    ready_.push_back(chunk);
  }
}

void EncoderFirmware::WriteAuxRecord() {
  if (state_.auxRecords == 0) return;
  uint32_t at = kAuxRingBase + 4 + auxWrite_ * kAuxRecordBytes;
  uint32_t words[kAuxRecordBytes / 4] = {auxWritten_, static_cast<uint32_t>(nextPack_), 0x52585541, auxWrite_, 0, 0};
  for (uint32_t i = 0; i < kAuxRecordBytes / 4; ++i) SetWord(at + 4 * i, words[i]);
  ++auxWritten_;
  auxWrite_ = (auxWrite_ + 1) % state_.auxRecords;
  SetWord(kAuxRingBase, kAuxRingBase + 4 + auxWrite_ * kAuxRecordBytes);
}

void EncoderFirmware::WriteVbiBuffer() {
  EncoderState::Vbi& vbi = state_.vbi;
  uint32_t lines = vbi.args[5], lineBytes = vbi.args[6];
  uint32_t buffer = (vbiBuffer_ + 1) % kVbiBuffers;
  std::vector<uint8_t> bytes(vbi.bufferSize, 0);
  uint32_t header[3] = {vbi.written, lines, lineBytes};
  for (uint32_t i = 0; i < 12; ++i) bytes[i] = static_cast<uint8_t>(header[i / 4] >> (24 - 8 * (i % 4)));
  for (uint32_t line = 0; line < lines; ++line) {
    uint8_t* record = &bytes[12 + line * lineBytes];
    record[0] = 0xFF, record[1] = 0x00, record[2] = 0x00;
    record[3] = static_cast<uint8_t>(vbi.args[3] >> (line < lines / 2 ? 24 : 16));
    for (uint32_t i = 4; i < lineBytes && i < 1444; ++i)
      record[i] = static_cast<uint8_t>(0x10 + (vbi.written * 7 + line * 13 + i) % 0xE0);
  }
  uint32_t at = kVbiRingOffset + buffer * vbi.bufferSize;
  for (uint32_t k = 0; k + 4 <= bytes.size(); k += 4)
    SetWord(at + k, static_cast<uint32_t>(bytes[k]) << 24 | static_cast<uint32_t>(bytes[k + 1]) << 16 |
                        static_cast<uint32_t>(bytes[k + 2]) << 8 | bytes[k + 3]);
  vbiBuffer_ = buffer;
  ++vbi.written;
  SetWord(kVbiRingOffset - 4, at);
}

void EncoderFirmware::Request() {
  if (requested_ || transferring_ || ready_.empty() || !mailbox0_) return;
  const Chunk& chunk = ready_.front();
  SetWord(*mailbox0_ + kRequestIndex, chunk.stream);
  SetWord(*mailbox0_ + kRequestAddress, chunk.address);
  SetWord(*mailbox0_ + kRequestCount, chunk.count);
  SetWord(*mailbox0_ + kRequestAddress2, chunk.address2);
  SetWord(*mailbox0_ + kRequestCount2, chunk.count2);
  requested_ = true;
  card_.RaiseInterrupt(kDmaRequest);
}

uint32_t EncoderFirmware::Schedule0xCC(uint32_t list, uint32_t count) {
  if (!requested_) {
    kernel_.Fault("card: DMA schedule (command 0xCC) while the encoder has no transfer requested");
    return kBadArgument;
  }
  Chunk chunk = ready_.front();
  ready_.pop_front();
  requested_ = false;
  DmaTransfer t;
  t.stream = chunk.stream;
  t.address = chunk.address;
  t.count = chunk.count;
  t.firstPack = chunk.firstPack;
  t.packs = chunk.packs;
  t.list = list;
  t.scheduled = count;
  uint64_t* counts[3][2] = {
      {&dropped_, &delivered_}, {&videoDropped_, &videoDelivered_}, {&audioDropped_, &audioDelivered_}};
  if (list == 0) {
    *counts[chunk.stream][0] += chunk.packs;
  } else {
    t.completed = RunList(t);
    // Video counts both planes; audio counts without its 12-byte header, which the receiver skips.
    uint32_t needed = chunk.stream == kVideoStream   ? chunk.count + chunk.count2
                      : chunk.stream == kAudioStream ? chunk.count - 12
                                                     : chunk.count;
    if (t.completed && t.copied >= needed) *counts[chunk.stream][1] += chunk.packs;
  }
  transfers_.push_back(t);
  // The copy is done at once; the done report follows when the bus would have moved the bytes.
  transferring_ = true;
  Schedule(kDmaSetupTime + t.copied / kDmaBytesPerTick, [this, stream = t.stream] {
    transferring_ = false;
    SetWord(*mailbox0_ + kDoneReportFlags, 0);
    SetWord(*mailbox0_ + kDoneReportIndex, stream);
    card_.RaiseInterrupt(kDmaDone);
    if (!ready_.empty()) Schedule(kRequestGap, [this] { Request(); });
  });
  return kCommandOk;
}

// Walks the driver's descriptor list in host memory and copies each piece of encoder memory to its
// destination. Any broken rule stops the walk: a fault is recorded and the rest is not transferred.
bool EncoderFirmware::RunList(DmaTransfer& t) {
  for (uint32_t i = 0; i < kMaxDescriptors; ++i) {
    uint32_t words[3];
    if (!kernel_.DmaRead(uint64_t{t.list} + 12 * i, words, sizeof words)) return false;  // the kernel faulted
    DmaDescriptor d{words[0], words[1], words[2] & kDescriptorCount, (words[2] & kDescriptorLast) != 0};
    t.descriptors.push_back(d);
    std::string where = "card: DMA descriptor " + std::to_string(i) + " of the list at " + Hex(t.list);
    if ((words[2] & ~(kDescriptorLast | kDescriptorCount)) != 0) {
      kernel_.Fault(where + " has reserved bits set (" + Hex(words[2]) + ")");
      return false;
    }
    if (d.count == 0) {
      kernel_.Fault(where + " moves no bytes");
      return false;
    }
    if (uint64_t{d.source} + d.count > kEncoderMemoryLength) {
      kernel_.Fault(where + " reads past the end of encoder memory");
      return false;
    }
    std::vector<uint8_t> bytes(d.count);
    for (uint32_t b = 0; b < d.count; ++b) {
      uint32_t at = d.source + b;
      bytes[b] = static_cast<uint8_t>(Word(at & ~3u) >> (8 * (at & 3)));
    }
    if (!kernel_.DmaWrite(d.destination, bytes.data(), bytes.size())) return false;  // the kernel faulted
    t.copied += d.count;
    if (d.last) return true;
  }
  kernel_.Fault("card: the DMA descriptor list at " + Hex(t.list) + " has no last descriptor in its " +
                std::to_string(kMaxDescriptors) + " entries");
  return false;
}

}  // namespace simcard
