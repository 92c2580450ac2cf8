// Checkers for the card's other streams at the receiving end, beside the program stream's (mpeg_stream.h):
// raw video frames, raw audio PCM, VBI lines and auxiliary records. Each is fed what an application gets
// from the driver (the data of completed buffers, empty buffers left out) and keeps a tally of the stream's
// units: intact, lost, duplicated, reordered and damaged, as MpegStreamChecker does for packs.
//
// Units: a raw video frame (both planes in one buffer, the chroma plane where the luma plane ends); a raw
// audio frame (4 bytes: left and right 16-bit samples; the encoder's 12-byte block header is not part of
// the stream the driver delivers); a VBI field (the lines of one field of one ring buffer, 1440 bytes each,
// as the driver extracts them); an auxiliary record (24 bytes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

namespace simcard {

struct StreamTally {
  uint64_t intact = 0;      // units whose every byte checks out, counted once
  uint64_t lost = 0;        // unit numbers skipped (and not seen later)
  uint64_t duplicated = 0;  // units seen a second time
  uint64_t reordered = 0;   // units that arrived after a later one
  uint64_t damaged = 0;     // units whose bytes do not check out, and pieces that are no unit at all
  uint64_t next = 0;        // the unit number expected next
  bool operator==(const StreamTally&) const = default;
  // Nothing arrived twice, out of order or damaged.
  bool Clean() const { return duplicated == 0 && reordered == 0 && damaged == 0; }
};

// Keeps the tally of numbered units arriving: the ones seen, the gaps, the repeats.
class UnitSequence {
 public:
  // An intact unit numbered n arrived.
  void Take(uint64_t n);
  void Damaged() { ++tally_.damaged; }
  const StreamTally& Result() const { return tally_; }
  StreamTally& Mutable() { return tally_; }

 private:
  std::set<uint64_t> seen_;
  StreamTally tally_;
};

// Raw video: one frame per buffer, the luma plane (width x height bytes) followed by the chroma plane
// (width x height / 2 bytes); both planes start with the frame's number (RawVideoByte).
class RawVideoChecker {
 public:
  RawVideoChecker(uint32_t width, uint32_t height) : width_(width), height_(height) {}
  uint32_t FrameBytes() const { return width_ * height_ * 3 / 2; }
  // One completed buffer's data. A buffer of any other size, or whose bytes do not match the frame its
  // first word names, is damaged.
  void Feed(const uint8_t* data, size_t length);
  const StreamTally& Result() const { return sequence_.Result(); }

 private:
  uint32_t width_, height_;
  UnitSequence sequence_;
};

// Raw audio: the PCM bytes of the audio blocks (RawAudioBlock) with their headers skipped, continuous across
// buffers: the left sample of frame f is f's low 16 bits, the right sample its complement. With 16-bit frame
// numbers a step forward of less than 32768 frames counts as lost frames, a step back as a duplicate.
class RawAudioChecker {
 public:
  void Feed(const uint8_t* data, size_t length);
  const StreamTally& Result() const { return tally_; }
  size_t PendingBytes() const { return fill_; }

 private:
  void TakeFrame();
  std::array<uint8_t, 4> frame_{};
  size_t fill_ = 0;
  StreamTally tally_;
};

// The sample byte k (0 ... 1439) of record line `line` in VBI ring buffer `buffer` (the firmware's count of
// buffers written since the VBI configuration), as the card writes it after the line's start code.
uint8_t VbiLineByte(uint64_t buffer, uint32_t line, uint32_t k);
inline constexpr uint32_t kVbiLineBytes = 1440;

// VBI: each buffer holds the lines of one field, line j of field f being record line f * linesPerField + j
// of its ring buffer. Field units are numbered 2 * buffer + f. The lines carry the buffer's number only
// modulo 32, so the checker places a field at most 47 units after the one it expects next or 16 before it; a line the
// driver zero-filled (a missing start code) matches any field.
class VbiChecker {
 public:
  explicit VbiChecker(uint32_t linesPerField) : lines_(linesPerField) {}
  void Feed(const uint8_t* data, size_t length);
  const StreamTally& Result() const { return sequence_.Result(); }
  // The lines of field unit u as the driver should deliver them.
  std::vector<uint8_t> Expected(uint64_t unit) const;

 private:
  bool Matches(const uint8_t* data, uint64_t unit) const;
  uint32_t lines_;
  UnitSequence sequence_;
};

// Auxiliary records: the firmware's 24-byte records (six little-endian words: record number, packs made,
// 0x52585541, ring index = record number modulo the ring's record count, 0, 0), in order; the packs made
// never decrease. Buffers may carry one record or several.
inline constexpr uint32_t kAuxRecordMagic = 0x52585541;
class AuxRecordChecker {
 public:
  explicit AuxRecordChecker(uint32_t ringRecords) : ring_(ringRecords) {}
  void Feed(const uint8_t* data, size_t length);
  const StreamTally& Result() const { return sequence_.Result(); }

 private:
  uint32_t ring_;
  uint32_t lastPacks_ = 0;
  UnitSequence sequence_;
};

}  // namespace simcard
