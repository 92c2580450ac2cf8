#include "driver/simcard/stream_checkers.h"

#include <gtest/gtest.h>

#include <vector>

#include "driver/simcard/encoder_firmware.h"

namespace simcard {
namespace {

std::vector<uint8_t> Frame(uint64_t n, uint32_t width, uint32_t height) {
  const uint32_t luma = width * height;
  std::vector<uint8_t> f(luma * 3 / 2);
  for (uint32_t i = 0; i < luma; ++i) f[i] = RawVideoByte(n, 0, i);
  for (uint32_t i = 0; i < luma / 2; ++i) f[luma + i] = RawVideoByte(n, 1, i);
  return f;
}

// The PCM the driver delivers for blocks first ... first + count - 1: the blocks without their headers.
std::vector<uint8_t> Pcm(uint64_t first, uint64_t count) {
  std::vector<uint8_t> pcm;
  for (uint64_t n = first; n < first + count; ++n) {
    auto block = RawAudioBlock(n, 48000);
    pcm.insert(pcm.end(), block.begin() + 12, block.end());
  }
  return pcm;
}

std::vector<uint8_t> AuxRecord(uint32_t number, uint32_t packs, uint32_t ring) {
  const uint32_t words[6] = {number, packs, kAuxRecordMagic, number % ring, 0, 0};
  std::vector<uint8_t> r;
  for (uint32_t w : words)
    for (int b = 0; b < 4; ++b) r.push_back(static_cast<uint8_t>(w >> (8 * b)));
  return r;
}

TEST(StreamCheckers, RawVideoTellsLostDuplicatedReorderedAndDamagedFrames) {
  RawVideoChecker checker(64, 16);
  for (uint64_t n : {0, 1, 3, 2, 3}) {
    auto f = Frame(n, 64, 16);
    checker.Feed(f.data(), f.size());
  }
  auto broken = Frame(4, 64, 16);
  broken[64 * 16 + 9] ^= 1;  // a chroma byte
  checker.Feed(broken.data(), broken.size());
  auto shorter = Frame(5, 64, 16);
  checker.Feed(shorter.data(), shorter.size() - 1);
  const StreamTally& t = checker.Result();
  EXPECT_EQ(t.intact, 4u);
  EXPECT_EQ(t.duplicated, 1u);
  EXPECT_EQ(t.reordered, 1u);
  EXPECT_EQ(t.damaged, 2u);
  EXPECT_EQ(t.lost, 0u);
  EXPECT_EQ(t.next, 4u) << "frames 4 and 5 never arrived whole, so nothing after 3 was seen";
}

TEST(StreamCheckers, RawAudioIsContinuousAcrossBuffersOfAnySize) {
  const struct {
    const char* name;
    size_t piece;
  } cases[] = {{"one byte at a time", 1}, {"44.1 kHz buffers", 1764}, {"48 kHz buffers", 1920}, {"odd", 1001}};
  auto pcm = Pcm(0, 9);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawAudioChecker checker;
    for (size_t at = 0; at < pcm.size(); at += c.piece)
      checker.Feed(pcm.data() + at, std::min(c.piece, pcm.size() - at));
    EXPECT_EQ(checker.Result(), (StreamTally{9 * kAudioBlockFrames, 0, 0, 0, 0, 9 * kAudioBlockFrames}));
    EXPECT_EQ(checker.PendingBytes(), 0u);
  }
}

TEST(StreamCheckers, RawAudioCountsGapsRepeatsAndAHeaderLeftIn) {
  RawAudioChecker checker;
  auto first = Pcm(0, 2), later = Pcm(5, 1);
  checker.Feed(first.data(), first.size());
  checker.Feed(later.data(), later.size());  // blocks 2 ... 4 never came
  checker.Feed(first.data(), 8);             // two frames from the start again
  auto block = RawAudioBlock(6, 48000);      // with its 12-byte header
  checker.Feed(block.data(), block.size());
  const StreamTally& t = checker.Result();
  EXPECT_EQ(t.lost, 3u * kAudioBlockFrames);
  EXPECT_EQ(t.duplicated, 2u);
  EXPECT_EQ(t.damaged, 3u) << "the header's three words are no sample pairs";
  EXPECT_EQ(t.intact, 4u * kAudioBlockFrames);
}

TEST(StreamCheckers, VbiPlacesFieldsByTheirLinesAndAcceptsAZeroFilledLine) {
  VbiChecker checker(18);
  for (uint64_t unit : {0, 1, 2, 3, 6, 7}) {
    auto lines = checker.Expected(unit);
    if (unit == 3) std::fill(lines.begin() + 17 * kVbiLineBytes, lines.end(), 0);  // line 17 had no start code
    checker.Feed(lines.data(), lines.size());
  }
  auto again = checker.Expected(6);
  checker.Feed(again.data(), again.size());
  auto wrong = checker.Expected(8);
  wrong[100] ^= 0x40;
  checker.Feed(wrong.data(), wrong.size());
  checker.Feed(wrong.data(), 1440);  // not a whole field
  const StreamTally& t = checker.Result();
  EXPECT_EQ(t.intact, 6u);
  EXPECT_EQ(t.lost, 2u);
  EXPECT_EQ(t.duplicated, 1u);
  EXPECT_EQ(t.damaged, 2u);
  EXPECT_EQ(t.next, 8u);
  EXPECT_NE(checker.Expected(0), checker.Expected(1)) << "the two fields of a buffer differ";
}

TEST(StreamCheckers, VbiLineBytesAreThoseAfterTheStartCode) {
  // The card writes record byte i = 4 ... 1443 of line L in buffer b as 0x10 + (7b + 13L + i) mod 224.
  EXPECT_EQ(VbiLineByte(0, 0, 0), 0x14);
  EXPECT_EQ(VbiLineByte(2, 3, 10), 0x10 + (14 + 39 + 14) % 0xE0);
  EXPECT_EQ(VbiLineByte(32, 0, 0), VbiLineByte(0, 0, 0)) << "the buffer number shows modulo 32";
}

TEST(StreamCheckers, AuxRecordsInOrderWithTheirRingIndex) {
  AuxRecordChecker checker(4);
  std::vector<uint8_t> two = AuxRecord(0, 3, 4);
  auto r1 = AuxRecord(1, 5, 4);
  two.insert(two.end(), r1.begin(), r1.end());
  checker.Feed(two.data(), two.size());
  for (uint32_t n : {4u, 5u}) {
    auto r = AuxRecord(n, 9, 4);
    checker.Feed(r.data(), r.size());
  }
  auto badIndex = AuxRecord(6, 9, 4);
  badIndex[12] = 3;
  checker.Feed(badIndex.data(), badIndex.size());
  auto backwards = AuxRecord(7, 8, 4);  // fewer packs than the record before
  checker.Feed(backwards.data(), backwards.size());
  checker.Feed(two.data(), 23);
  const StreamTally& t = checker.Result();
  EXPECT_EQ(t.intact, 4u);
  EXPECT_EQ(t.lost, 2u);
  EXPECT_EQ(t.damaged, 3u);
  EXPECT_EQ(t.next, 6u);
}

}  // namespace
}  // namespace simcard
