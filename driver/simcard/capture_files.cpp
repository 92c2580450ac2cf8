#include "driver/simcard/capture_files.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "driver/simcard/mpeg_stream.h"

namespace simcard {
namespace {

void PutBig32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
void PutLittle(std::vector<uint8_t>& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutText(std::vector<uint8_t>& out, const char* text) { out.insert(out.end(), text, text + std::strlen(text)); }

// A PNG chunk: length, type, data, and the CRC-32 of type and data.
void PutChunk(std::vector<uint8_t>& out, const char (&type)[5], const std::vector<uint8_t>& data) {
  PutBig32(out, static_cast<uint32_t>(data.size()));
  const size_t typeAt = out.size();
  PutText(out, type);
  out.insert(out.end(), data.begin(), data.end());
  PutBig32(out, Crc32(out.data() + typeAt, out.size() - typeAt));
}

uint8_t Clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

uint32_t Adler32(const uint8_t* data, size_t length) {
  constexpr uint32_t kModulus = 65521;
  uint32_t a = 1, b = 0;
  for (size_t i = 0; i < length; ++i) {
    a = (a + data[i]) % kModulus;
    b = (b + a) % kModulus;
  }
  return b << 16 | a;
}

std::vector<uint8_t> ZlibStored(const uint8_t* data, size_t length) {
  std::vector<uint8_t> out = {0x78, 0x01};  // deflate, 32 KiB window, no dictionary, check bits
  size_t at = 0;
  do {
    const auto n = static_cast<uint16_t>(std::min<size_t>(length - at, 65535));
    out.push_back(at + n == length ? 1 : 0);  // BFINAL on the last block, BTYPE 00 (stored)
    PutLittle(out, n, 2);
    PutLittle(out, static_cast<uint16_t>(~n), 2);
    out.insert(out.end(), data + at, data + at + n);
    at += n;
  } while (at < length);
  PutBig32(out, Adler32(data, length));
  return out;
}

std::vector<uint8_t> PngRgb(const uint8_t* rgb, uint32_t width, uint32_t height) {
  std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<uint8_t> header;
  PutBig32(header, width);
  PutBig32(header, height);
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, adaptive filters, no interlace
  PutChunk(out, "IHDR", header);
  // Every row starts with its filter type, 0 (none).
  const size_t row = size_t{width} * 3;
  std::vector<uint8_t> raw;
  raw.reserve((row + 1) * height);
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    raw.insert(raw.end(), rgb + y * row, rgb + (y + 1) * row);
  }
  PutChunk(out, "IDAT", ZlibStored(raw.data(), raw.size()));
  PutChunk(out, "IEND", {});
  return out;
}

std::vector<uint8_t> FrameRgb(const uint8_t* luma, const uint8_t* chroma, uint32_t width, uint32_t height) {
  std::vector<uint8_t> rgb(size_t{width} * height * 3);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const int c = 298 * (luma[size_t{y} * width + x] - 16);
      const uint8_t* pair = chroma + size_t{y / 2} * width + (x & ~1u);
      const int d = pair[0] - 128, e = pair[1] - 128;
      uint8_t* out = &rgb[(size_t{y} * width + x) * 3];
      out[0] = Clamp((c + 409 * e + 128) >> 8);
      out[1] = Clamp((c - 100 * d - 208 * e + 128) >> 8);
      out[2] = Clamp((c + 516 * d + 128) >> 8);
    }
  }
  return rgb;
}

std::vector<uint8_t> WavPcm16(const uint8_t* pcm, size_t length, uint32_t rate, uint16_t channels) {
  std::vector<uint8_t> out;
  const uint32_t block = 2u * channels;
  PutText(out, "RIFF");
  PutLittle(out, static_cast<uint32_t>(36 + length), 4);
  PutText(out, "WAVE");
  PutText(out, "fmt ");
  PutLittle(out, 16, 4);
  PutLittle(out, 1, 2);  // PCM
  PutLittle(out, channels, 2);
  PutLittle(out, rate, 4);
  PutLittle(out, rate * block, 4);
  PutLittle(out, block, 2);
  PutLittle(out, 16, 2);
  PutText(out, "data");
  PutLittle(out, static_cast<uint32_t>(length), 4);
  out.insert(out.end(), pcm, pcm + length);
  return out;
}

}  // namespace simcard
