// The media the capture filters' pins carry: the four internal video ranges (NVP2 and NVP1, 525 and 625
// lines) between the video capture filter and the encoder filter, the PCM range of the raw audio pins, the
// two VBI ranges with their line tables, and the analogue video and audio ranges of the capture filter's
// inputs; the choice of video range by stream type and line count, and the format checks the pins share.
#pragma once

#include "driver/kernel/ksmedia.h"

namespace pelgar {

// The internal video formats: full-height frames ("NVP2") and half-height frames ("NVP1"), 12 bits per
// pixel in one plane.
inline constexpr GUID kSubtypeNvp2 = FourCcSubtype('N', 'V', 'P', '2');
inline constexpr GUID kSubtypeNvp1 = FourCcSubtype('N', 'V', 'P', '1');

// Indexes into kVideoRanges, in the order the encoder filter's video input lists them.
enum VideoRangeIndex : ULONG { kNvp2Range525 = 0, kNvp1Range525 = 1, kNvp2Range625 = 2, kNvp1Range625 = 3 };
inline constexpr ULONG kVideoRangeCount = 4;

// The KS standards of each line count as the ranges carry them.
inline constexpr ULONG kStandards525 = 0x00000A07;
inline constexpr ULONG kStandards625 = 0x001FF5F0;

// Bytes of a frame's image per line of height: 1.5 bytes per pixel of a 720-pixel line.
inline constexpr ULONG kImageBytesPerLine = 1080;

extern KS_DATARANGE_VIDEO kVideoRanges[kVideoRangeCount];
extern KSDATARANGE_AUDIO kPcmRange;
extern KS_DATARANGE_VBI kVbiRange525;
extern KS_DATARANGE_VBI kVbiRange625;
extern KS_DATARANGE_ANALOGVIDEO kAnalogVideoRange;
extern KSDATARANGE kAnalogAudioRange;

// The video range of the capture filter's raw video and format hand-over pins: half-height stream types
// take NVP1, the others NVP2, at the line count of the standard.
constexpr ULONG SelectVideoRange(bool halfHeight, bool is525) {
  return halfHeight ? (is525 ? kNvp1Range525 : kNvp1Range625) : (is525 ? kNvp2Range525 : kNvp2Range625);
}

// The VBI line table of a line count (the VBI info header of its range).
const KS_VBIINFOHEADER& VbiTable(bool is525);

// Whether a video format's bitmap fits a range: width and |height| within the range's output sizes on its
// granularity, bit count and compression equal to the range's.
bool BitmapFitsRange(const KS_BITMAPINFOHEADER& bitmap, const KS_DATARANGE_VIDEO& range);
// The image size a format of `height` lines has in `range`'s subtype: |height| x 1080 bytes for NVP2, twice
// that for NVP1.
ULONG ImageSize(const KS_DATARANGE_VIDEO& range, LONG height);

}  // namespace pelgar
