#include "driver/simcard/capture_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/simcard/mpeg_stream.h"

namespace simcard {
namespace {

uint32_t Big32(const uint8_t* p) { return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]; }
uint32_t Little(const std::vector<uint8_t>& v, size_t at, int bytes) {
  uint32_t x = 0;
  for (int i = 0; i < bytes; ++i) x |= uint32_t{v[at + i]} << (8 * i);
  return x;
}

// Reads a zlib stream made of stored blocks back; fails the test on anything else.
std::vector<uint8_t> Inflate(const std::vector<uint8_t>& z) {
  std::vector<uint8_t> out;
  EXPECT_EQ((z[0] * 256 + z[1]) % 31, 0) << "header check bits";
  size_t at = 2;
  bool last = false;
  while (!last && at + 5 <= z.size()) {
    last = z[at] & 1;
    EXPECT_EQ(z[at] >> 1, 0) << "stored block";
    const uint32_t n = Little(z, at + 1, 2), complement = Little(z, at + 3, 2);
    EXPECT_EQ(n ^ complement, 0xFFFFu);
    out.insert(out.end(), z.begin() + at + 5, z.begin() + at + 5 + n);
    at += 5 + n;
  }
  EXPECT_TRUE(last);
  EXPECT_EQ(at + 4, z.size());
  EXPECT_EQ(Big32(&z[at]), Adler32(out.data(), out.size()));
  return out;
}

TEST(CaptureFiles, Adler32KnownValues) {
  const std::string text = "Wikipedia";
  EXPECT_EQ(Adler32(reinterpret_cast<const uint8_t*>(text.data()), text.size()), 0x11E60398u);
  EXPECT_EQ(Adler32(nullptr, 0), 1u);
}

TEST(CaptureFiles, ZlibStoredSplitsAtTheLargestStoredBlock) {
  const struct {
    size_t length;
    size_t blocks;
  } cases[] = {{0, 1}, {1, 1}, {65535, 1}, {65536, 2}, {200000, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    std::vector<uint8_t> data(c.length);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
    std::vector<uint8_t> z = ZlibStored(data.data(), data.size());
    EXPECT_EQ(z.size(), 2 + 5 * c.blocks + c.length + 4);
    EXPECT_EQ(Inflate(z), data);
  }
}

TEST(CaptureFiles, PngHasCheckedChunksAndUnfilteredRows) {
  const uint32_t w = 3, h = 2;
  std::vector<uint8_t> rgb(w * h * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 13);
  std::vector<uint8_t> png = PngRgb(rgb.data(), w, h);
  const uint8_t signature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  ASSERT_TRUE(std::equal(signature, signature + 8, png.begin()));
  std::vector<std::string> types;
  std::vector<uint8_t> idat, ihdr;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t n = Big32(&png[at]);
    ASSERT_LE(at + 12 + n, png.size());
    types.emplace_back(png.begin() + at + 4, png.begin() + at + 8);
    EXPECT_EQ(Big32(&png[at + 8 + n]), Crc32(&png[at + 4], 4 + n)) << types.back();
    std::vector<uint8_t> data(png.begin() + at + 8, png.begin() + at + 8 + n);
    if (types.back() == "IHDR") ihdr = data;
    if (types.back() == "IDAT") idat = data;
    at += 12 + n;
  }
  EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  EXPECT_EQ(ihdr, (std::vector<uint8_t>{0, 0, 0, 3, 0, 0, 0, 2, 8, 2, 0, 0, 0}));
  std::vector<uint8_t> rows = Inflate(idat);
  ASSERT_EQ(rows.size(), h * (1 + w * 3));
  for (uint32_t y = 0; y < h; ++y) {
    EXPECT_EQ(rows[y * (1 + w * 3)], 0) << "filter type none";
    EXPECT_TRUE(
        std::equal(rgb.begin() + y * w * 3, rgb.begin() + (y + 1) * w * 3, rows.begin() + y * (1 + w * 3) + 1));
  }
}

TEST(CaptureFiles, FrameColoursComeFromLumaAndTheSharedChromaPair) {
  const struct {
    const char* name;
    uint8_t y, cb, cr;
    uint8_t r, g, b;
  } cases[] = {
      {"black", 16, 128, 128, 0, 0, 0},  {"white", 235, 128, 128, 255, 255, 255},
      {"red", 81, 90, 240, 255, 0, 0},   {"green", 145, 54, 34, 0, 255, 0},
      {"blue", 41, 240, 110, 0, 0, 255}, {"clipped below", 0, 128, 128, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // 4 x 2 pixels: the left 2 x 2 block gets the case's chroma, the right block neutral chroma.
    const uint8_t luma[8] = {c.y, c.y, 16, 16, c.y, c.y, 16, 16};
    const uint8_t chroma[4] = {c.cb, c.cr, 128, 128};
    std::vector<uint8_t> rgb = FrameRgb(luma, chroma, 4, 2);
    for (int pixel : {0, 1, 4, 5}) {
      EXPECT_NEAR(rgb[pixel * 3 + 0], c.r, 2) << pixel;
      EXPECT_NEAR(rgb[pixel * 3 + 1], c.g, 2) << pixel;
      EXPECT_NEAR(rgb[pixel * 3 + 2], c.b, 2) << pixel;
    }
    EXPECT_EQ(rgb[2 * 3], 0) << "the right block is black";
  }
}

TEST(CaptureFiles, WavHeaderDescribesSixteenBitPcm) {
  const uint8_t pcm[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint8_t> wav = WavPcm16(pcm, sizeof pcm, 44100, 2);
  ASSERT_EQ(wav.size(), 44u + 8);
  EXPECT_EQ(std::string(wav.begin(), wav.begin() + 4), "RIFF");
  EXPECT_EQ(Little(wav, 4, 4), 36u + 8);
  EXPECT_EQ(std::string(wav.begin() + 8, wav.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(Little(wav, 16, 4), 16u);
  EXPECT_EQ(Little(wav, 20, 2), 1u);
  EXPECT_EQ(Little(wav, 22, 2), 2u);
  EXPECT_EQ(Little(wav, 24, 4), 44100u);
  EXPECT_EQ(Little(wav, 28, 4), 44100u * 4);
  EXPECT_EQ(Little(wav, 32, 2), 4u);
  EXPECT_EQ(Little(wav, 34, 2), 16u);
  EXPECT_EQ(std::string(wav.begin() + 36, wav.begin() + 40), "data");
  EXPECT_EQ(Little(wav, 40, 4), 8u);
  EXPECT_TRUE(std::equal(pcm, pcm + 8, wav.begin() + 44));
}

}  // namespace
}  // namespace simcard
