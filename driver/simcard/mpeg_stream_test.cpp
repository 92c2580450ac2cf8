#include "driver/simcard/mpeg_stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace simcard {
namespace {

TEST(MpegStream, Crc32IsTheIeeeCrc) {
  EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);
}

TEST(MpegStream, PackCarriesHeadersNumberAndCrc) {
  auto p = MpegPack(0x1234);
  const uint8_t start[] = {0x00, 0x00, 0x01, 0xBA};
  const uint8_t pes[] = {0x00, 0x00, 0x01, 0xE0, 0x07, 0xEC, 0x80, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(p.data(), start, 4), 0);
  EXPECT_EQ(std::memcmp(p.data() + 14, pes, sizeof pes), 0);
  EXPECT_EQ(std::string(p.begin() + 23, p.begin() + 39), "AAAAAAAAAAAABCDE");
  // The system clock reference, put back together from its marker-separated fields, is n * 1800.
  uint64_t scr = (uint64_t{p[4]} >> 3 & 7) << 30 | (uint64_t{p[4]} & 3) << 28 | uint64_t{p[5]} << 20 |
                 (uint64_t{p[6]} >> 3) << 15 | (uint64_t{p[6]} & 3) << 13 | uint64_t{p[7]} << 5 | uint64_t{p[8]} >> 3;
  EXPECT_EQ(scr, 0x1234u * 1800);
  uint32_t crc = uint32_t{p[2044]} << 24 | uint32_t{p[2045]} << 16 | uint32_t{p[2046]} << 8 | p[2047];
  EXPECT_EQ(crc, Crc32(p.data(), 2044));
  for (size_t i = 39; i < 2044; ++i) ASSERT_TRUE(p[i] >= 0x10 && p[i] <= 0xEF) << i;
  EXPECT_NE(MpegPack(1), MpegPack(2));
  EXPECT_EQ(MpegPack(7), MpegPack(7));
}

TEST(MpegStream, EncoderWordsAreBigEndianAndSwappingRestoresTheStream) {
  auto p = MpegPack(3);
  EXPECT_EQ(MpegPackWord(p, 0), 0x000001BAu);
  // Encoder memory holds the words; a transfer writes each word's bytes least significant first.
  std::vector<uint8_t> landed;
  for (uint32_t k = 0; k < 512; ++k)
    for (int b = 0; b < 4; ++b) landed.push_back(static_cast<uint8_t>(MpegPackWord(p, k) >> (8 * b)));
  EXPECT_EQ(landed[0], 0xBA);
  SwapWordBytes(landed.data(), landed.size());
  EXPECT_TRUE(std::equal(landed.begin(), landed.end(), p.begin()));
  uint8_t tail[6] = {1, 2, 3, 4, 5, 6};
  SwapWordBytes(tail, 6);
  EXPECT_THAT(tail, ::testing::ElementsAre(4, 3, 2, 1, 5, 6)) << "a part word stays as it is";
}

TEST(MpegStream, CheckerTellsLossDuplicationReorderingAndDamage) {
  using Tally = MpegStreamChecker::Tally;
  enum Edit { None, FlipByte, JunkBefore, CutShort };
  struct Case {
    const char* name;
    std::vector<uint64_t> packs;
    Edit edit;       // applied to the second pack
    Tally expected;  // packs, lost, duplicated, reordered, damaged, next
  } cases[] = {
      {"in order", {0, 1, 2}, None, {3, 0, 0, 0, 0, 3}},
      {"one lost", {0, 2, 3}, None, {3, 1, 0, 0, 0, 4}},
      {"first ones lost", {3, 4}, None, {2, 3, 0, 0, 0, 5}},
      {"duplicated", {0, 1, 1, 2}, None, {3, 0, 1, 0, 0, 3}},
      {"swapped", {0, 2, 1, 3}, None, {4, 0, 0, 1, 0, 4}},
      {"damaged byte", {0, 1, 2}, FlipByte, {2, 1, 0, 0, 1, 3}},
      {"junk between packs", {0, 1, 2}, JunkBefore, {3, 0, 0, 0, 1, 3}},
      {"cut short", {0, 1, 2}, CutShort, {2, 1, 0, 0, 1, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < c.packs.size(); ++i) {
      auto p = MpegPack(c.packs[i]);
      size_t length = p.size();
      if (i == 1 && c.edit == FlipByte) p[1000] ^= 0x01;
      if (i == 1 && c.edit == JunkBefore) stream.insert(stream.end(), {0x00, 0x00, 0x00, 0x01, 0x47, 0x00, 0x00});
      if (i == 1 && c.edit == CutShort) length = 1500;
      stream.insert(stream.end(), p.begin(), p.begin() + static_cast<long>(length));
    }
    for (size_t piece : {size_t{7}, size_t{4096}}) {
      MpegStreamChecker checker;
      for (size_t at = 0; at < stream.size(); at += piece)
        checker.Feed(stream.data() + at, std::min(piece, stream.size() - at));
      EXPECT_EQ(checker.Result(), c.expected) << "pieces of " << piece;
      EXPECT_EQ(checker.PendingBytes(), 0u);
    }
  }
}

}  // namespace
}  // namespace simcard
