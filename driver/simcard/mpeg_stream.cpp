#include "driver/simcard/mpeg_stream.h"

#include <algorithm>

namespace simcard {
namespace {

constexpr uint8_t kPackStart[4] = {0x00, 0x00, 0x01, 0xBA};
constexpr uint64_t kClockPerPack = 1800;
constexpr uint32_t kMuxRate = 25200;
constexpr uint32_t kNumberOffset = 23;
constexpr uint32_t kPayloadOffset = 39;
constexpr uint32_t kCrcOffset = kMpegPackBytes - 4;

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

std::array<uint8_t, kMpegPackBytes> MpegPack(uint64_t n) {
  std::array<uint8_t, kMpegPackBytes> p{};
  uint64_t scr = n * kClockPerPack;
  p[0] = 0x00, p[1] = 0x00, p[2] = 0x01, p[3] = 0xBA;
  // '01', SCR 32-30, marker, SCR 29-28 | SCR 27-20 | SCR 19-15, marker, SCR 14-13 | SCR 12-5 | SCR 4-0, marker,
  // extension 8-7 | extension 6-0, marker (the extension is 0).
  p[4] = static_cast<uint8_t>(0x44 | ((scr >> 27) & 0x38) | ((scr >> 28) & 0x03));
  p[5] = static_cast<uint8_t>(scr >> 20);
  p[6] = static_cast<uint8_t>(((scr >> 12) & 0xF8) | 0x04 | ((scr >> 13) & 0x03));
  p[7] = static_cast<uint8_t>(scr >> 5);
  p[8] = static_cast<uint8_t>(((scr << 3) & 0xF8) | 0x04);
  p[9] = 0x01;
  p[10] = static_cast<uint8_t>(kMuxRate >> 14);
  p[11] = static_cast<uint8_t>(kMuxRate >> 6);
  p[12] = static_cast<uint8_t>((kMuxRate << 2) | 0x03);
  p[13] = 0xF8;  // reserved bits, no stuffing
  p[14] = 0x00, p[15] = 0x00, p[16] = 0x01, p[17] = 0xE0;
  p[18] = static_cast<uint8_t>((kMpegPackBytes - 20) >> 8);
  p[19] = static_cast<uint8_t>(kMpegPackBytes - 20);
  p[20] = 0x80, p[21] = 0x00, p[22] = 0x00;
  for (uint32_t i = 0; i < 16; ++i) p[kNumberOffset + i] = static_cast<uint8_t>('A' + ((n >> (60 - 4 * i)) & 0xF));
  uint32_t x = static_cast<uint32_t>(n * 2654435761u) ^ 0x9E3779B9u;
  for (uint32_t i = kPayloadOffset; i < kCrcOffset; ++i) {
    x = x * 1103515245u + 12345u;
    p[i] = static_cast<uint8_t>(0x10 + (x >> 16) % 0xE0);
  }
  uint32_t crc = Crc32(p.data(), kCrcOffset);
  for (int i = 0; i < 4; ++i) p[kCrcOffset + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  return p;
}

uint32_t MpegPackWord(const std::array<uint8_t, kMpegPackBytes>& pack, uint32_t k) {
  const uint8_t* b = &pack[4 * k];
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
         b[3];
}

void SwapWordBytes(uint8_t* data, size_t length) {
  for (size_t i = 0; i + 4 <= length; i += 4) {
    std::swap(data[i], data[i + 3]);
    std::swap(data[i + 1], data[i + 2]);
  }
}

void MpegStreamChecker::Feed(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    pack_[fill_++] = data[i];
    if (fill_ <= 4 && pack_[fill_ - 1] != kPackStart[fill_ - 1]) {
      // Not the start of a pack: keep the longest tail that could still begin one.
      if (!skipping_) ++tally_.damaged, skipping_ = true;
      size_t keep = 0;
      for (size_t from = 1; from < fill_ && keep == 0; ++from)
        if (std::equal(pack_.begin() + from, pack_.begin() + fill_, kPackStart)) keep = fill_ - from;
      std::copy(pack_.begin() + (fill_ - keep), pack_.begin() + fill_, pack_.begin());
      fill_ = keep;
      continue;
    }
    if (fill_ == 4) skipping_ = false;
    if (fill_ == kMpegPackBytes) {
      if (TakePack())
        fill_ = 0;
      else
        Resync();
    }
  }
}

void MpegStreamChecker::Resync() {
  size_t from = 1;
  for (; from < fill_; ++from) {
    size_t compare = std::min<size_t>(4, fill_ - from);
    if (std::equal(pack_.begin() + from, pack_.begin() + from + compare, kPackStart)) break;
  }
  std::copy(pack_.begin() + from, pack_.begin() + fill_, pack_.begin());
  fill_ -= from;
}

bool MpegStreamChecker::TakePack() {
  uint64_t n = 0;
  for (uint32_t i = 0; i < 16; ++i) {
    uint8_t letter = pack_[kNumberOffset + i];
    if (letter < 'A' || letter > 'P') {
      ++tally_.damaged;
      return false;
    }
    n = n << 4 | static_cast<uint64_t>(letter - 'A');
  }
  if (pack_ != MpegPack(n)) {
    ++tally_.damaged;
    return false;
  }
  if (!seen_.insert(n).second) {
    ++tally_.duplicated;
    return true;
  }
  ++tally_.packs;
  if (n < tally_.next) {
    ++tally_.reordered;  // it was counted lost when a later pack came first
    --tally_.lost;
  } else {
    tally_.lost += n - tally_.next;
    tally_.next = n + 1;
  }
  return true;
}

}  // namespace simcard
