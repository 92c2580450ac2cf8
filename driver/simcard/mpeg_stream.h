// The test program stream the simulated encoder produces, and the checker that tells at the receiving end
// whether it arrived whole. The stream is a sequence of 2048-byte MPEG-2 program-stream packs; pack n is a
// pure function of n, so a test can tell lost, duplicated, reordered and damaged packs apart.
//
// Pack n:
//   0    pack header: 00 00 01 BA, system clock reference n * 1800 (90 kHz), mux rate 25200 (50-byte units)
//   14   PES header: 00 00 01 E0, packet length 2028, flags 80 00, header data length 0
//   23   the pack number n as 16 letters 'A' + nibble, most significant nibble first
//   39   payload bytes, each in 0x10 ... 0xEF (no start code can appear before the CRC)
//   2044 CRC-32 (IEEE, as zlib computes it) of bytes 0 ... 2043, most significant byte first
//
// The encoder delivers the stream as big-endian 32-bit words: in encoder memory each word holds four stream
// bytes with the first in bits 31-24, so a transfer lands in host memory with every 4 bytes reversed. The
// receiver (the driver) swaps them back before the stream is used.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <set>

namespace simcard {

inline constexpr uint32_t kMpegPackBytes = 2048;

std::array<uint8_t, kMpegPackBytes> MpegPack(uint64_t n);

// The encoder-memory word holding stream bytes 4k ... 4k+3 of a pack (first byte in bits 31-24).
uint32_t MpegPackWord(const std::array<uint8_t, kMpegPackBytes>& pack, uint32_t k);

// Reverses the bytes of every whole 32-bit word, as the receiver does with the encoder's words. A trailing
// part word is left as it is.
void SwapWordBytes(uint8_t* data, size_t length);

uint32_t Crc32(const uint8_t* data, size_t length);

// Consumes stream bytes in stream order (already swapped) in pieces of any size and keeps the tally.
class MpegStreamChecker {
 public:
  struct Tally {
    uint64_t packs = 0;       // whole packs whose CRC and number check out
    uint64_t lost = 0;        // pack numbers skipped (and not seen later)
    uint64_t duplicated = 0;  // packs seen a second time
    uint64_t reordered = 0;   // packs that arrived after a later one
    uint64_t damaged = 0;     // packs with a bad CRC or contents, and runs of bytes that are no pack at all
    uint64_t next = 0;        // the pack number expected next
    bool operator==(const Tally&) const = default;
  };

  void Feed(const uint8_t* data, size_t length);
  // The tally. A damaged pack's number counts as lost, since its contents never arrived; a pack cut short at
  // the very end is still pending (PendingBytes) until more bytes show it was cut.
  const Tally& Result() const { return tally_; }
  size_t PendingBytes() const { return fill_; }

 private:
  bool TakePack();  // false: the bytes collected are no intact pack
  void Resync();    // drops bytes up to the next place a pack could start

  std::array<uint8_t, kMpegPackBytes> pack_{};
  size_t fill_ = 0;
  bool skipping_ = false;  // inside bytes that belong to no pack; counted once per run
  std::set<uint64_t> seen_;
  Tally tally_;
};

}  // namespace simcard
