#include "driver/simcard/stream_checkers.h"

#include <algorithm>

#include "driver/simcard/encoder_firmware.h"

namespace simcard {
namespace {

uint32_t LittleWord(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// The VBI lines name their ring buffer modulo 32 (7 * buffer modulo 224), two fields per buffer: a field is
// placed up to 47 units ahead of the one expected or up to 16 behind it.
constexpr uint64_t kVbiAhead = 48;
constexpr uint64_t kVbiBehind = 16;

}  // namespace

void UnitSequence::Take(uint64_t n) {
  if (!seen_.insert(n).second) {
    ++tally_.duplicated;
    return;
  }
  ++tally_.intact;
  if (n < tally_.next) {
    ++tally_.reordered;  // it was counted lost when a later unit came first
    --tally_.lost;
  } else {
    tally_.lost += n - tally_.next;
    tally_.next = n + 1;
  }
}

void RawVideoChecker::Feed(const uint8_t* data, size_t length) {
  const uint32_t luma = width_ * height_;
  if (length != FrameBytes() || luma < 4) {
    sequence_.Damaged();
    return;
  }
  const uint64_t frame = LittleWord(data);
  for (uint32_t plane = 0; plane < 2; ++plane) {
    const uint8_t* p = data + (plane == 0 ? 0 : luma);
    const uint32_t bytes = plane == 0 ? luma : luma / 2;
    for (uint32_t i = 0; i < bytes; ++i) {
      if (p[i] != RawVideoByte(frame, plane, i)) {
        sequence_.Damaged();
        return;
      }
    }
  }
  sequence_.Take(frame);
}

void RawAudioChecker::Feed(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    frame_[fill_++] = data[i];
    if (fill_ == frame_.size()) {
      TakeFrame();
      fill_ = 0;
    }
  }
}

void RawAudioChecker::TakeFrame() {
  const auto left = static_cast<uint16_t>(frame_[0] | frame_[1] << 8);
  const auto right = static_cast<uint16_t>(frame_[2] | frame_[3] << 8);
  if (right != static_cast<uint16_t>(~left)) {
    ++tally_.damaged;
    return;
  }
  const auto expected = static_cast<uint16_t>(tally_.next);
  const auto step = static_cast<uint16_t>(left - expected);
  if (step >= 0x8000) {
    ++tally_.duplicated;  // a frame from before the one expected
    return;
  }
  tally_.lost += step;
  tally_.next += uint64_t{step} + 1;
  ++tally_.intact;
}

uint8_t VbiLineByte(uint64_t buffer, uint32_t line, uint32_t k) {
  // After FF 00 00 and the start code: byte i = 4 ... 1443 of the line's record.
  return static_cast<uint8_t>(0x10 + (buffer * 7 + uint64_t{line} * 13 + k + 4) % 0xE0);
}

std::vector<uint8_t> VbiChecker::Expected(uint64_t unit) const {
  std::vector<uint8_t> lines(size_t{lines_} * kVbiLineBytes);
  const uint64_t buffer = unit / 2;
  const uint32_t first = static_cast<uint32_t>(unit % 2) * lines_;
  for (uint32_t j = 0; j < lines_; ++j)
    for (uint32_t k = 0; k < kVbiLineBytes; ++k) lines[j * kVbiLineBytes + k] = VbiLineByte(buffer, first + j, k);
  return lines;
}

bool VbiChecker::Matches(const uint8_t* data, uint64_t unit) const {
  const uint64_t buffer = unit / 2;
  const uint32_t first = static_cast<uint32_t>(unit % 2) * lines_;
  for (uint32_t j = 0; j < lines_; ++j) {
    const uint8_t* line = data + size_t{j} * kVbiLineBytes;
    if (std::all_of(line, line + kVbiLineBytes, [](uint8_t b) { return b == 0; })) continue;  // zero-filled
    for (uint32_t k = 0; k < kVbiLineBytes; ++k)
      if (line[k] != VbiLineByte(buffer, first + j, k)) return false;
  }
  return true;
}

void VbiChecker::Feed(const uint8_t* data, size_t length) {
  if (lines_ == 0 || length != size_t{lines_} * kVbiLineBytes) {
    sequence_.Damaged();
    return;
  }
  const uint64_t next = sequence_.Result().next;
  for (uint64_t d = 0; d < kVbiAhead; ++d) {
    if (Matches(data, next + d)) {
      sequence_.Take(next + d);
      return;
    }
  }
  for (uint64_t d = 1; d <= kVbiBehind && d <= next; ++d) {
    if (Matches(data, next - d)) {
      sequence_.Take(next - d);  // counted as a duplicate or a late arrival
      return;
    }
  }
  sequence_.Damaged();
}

void AuxRecordChecker::Feed(const uint8_t* data, size_t length) {
  if (length == 0 || length % kAuxRecordBytes != 0) {
    sequence_.Damaged();
    return;
  }
  for (size_t at = 0; at < length; at += kAuxRecordBytes) {
    uint32_t w[kAuxRecordBytes / 4];
    for (uint32_t i = 0; i < kAuxRecordBytes / 4; ++i) w[i] = LittleWord(data + at + 4 * i);
    if (w[2] != kAuxRecordMagic || w[4] != 0 || w[5] != 0 || ring_ == 0 || w[3] != w[0] % ring_ ||
        w[1] < lastPacks_) {
      sequence_.Damaged();
      continue;
    }
    lastPacks_ = w[1];
    sequence_.Take(w[0]);
  }
}

}  // namespace simcard
