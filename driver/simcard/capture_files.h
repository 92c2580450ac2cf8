// Files for what a capture delivered, made without any picture or sound library: PNG pictures of raw video
// frames (stored deflate blocks, so no compression, with the zlib and PNG checksums) and WAV files of PCM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace simcard {

uint32_t Adler32(const uint8_t* data, size_t length);

// A zlib stream of `data` in stored (uncompressed) deflate blocks of at most 65535 bytes.
std::vector<uint8_t> ZlibStored(const uint8_t* data, size_t length);

// An 8-bit RGB PNG of width x height pixels, `rgb` holding 3 bytes per pixel row by row.
std::vector<uint8_t> PngRgb(const uint8_t* rgb, uint32_t width, uint32_t height);

// The colours of a raw video frame: the luma plane (width x height bytes) and the chroma plane (height / 2
// rows of width bytes, a Cb Cr pair for each 2 x 2 block of pixels), converted with the studio-range
// BT.601 matrix. Width and height are even.
std::vector<uint8_t> FrameRgb(const uint8_t* luma, const uint8_t* chroma, uint32_t width, uint32_t height);

// A RIFF WAVE file of 16-bit little-endian PCM.
std::vector<uint8_t> WavPcm16(const uint8_t* pcm, size_t length, uint32_t rate, uint16_t channels);

}  // namespace simcard
