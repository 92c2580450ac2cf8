#include "driver/data_ranges.h"

namespace pelgar {
namespace {

constexpr ULONG kVideoBitCount = 12;
constexpr ULONG kVideoStreamDescriptionFlags = 2;  // KS_VIDEOSTREAM_CAPTURE
constexpr ULONG kVbiStreamDescriptionFlags = 16;   // KS_VIDEOSTREAM_VBI
constexpr LONG kVbiLineBytes = 1440;
constexpr ULONG kVbiSamplingFrequency = 27000000;

constexpr ULONG FourCc(const GUID& subtype) { return subtype.Data1; }

// One row of the video range table.
struct VideoRow {
  GUID subtype;
  ULONG standards;
  LONG inputHeight;
  LONG minWidth;
  LONG height;
  LONGLONG interval;
  LONG minBits;
  LONG maxBits;
  LONG bitmapWidth;
  ULONG imageSize;
  ULONG sampleSize;
  ULONG bitRate;
};

constexpr KS_DATARANGE_VIDEO VideoRange(const VideoRow& r) {
  KS_DATARANGE_VIDEO v{};
  v.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  v.DataRange.SampleSize = r.sampleSize;
  v.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  v.DataRange.SubFormat = r.subtype;
  v.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  v.bFixedSizeSamples = 1;
  v.bTemporalCompression = 1;
  v.StreamDescriptionFlags = kVideoStreamDescriptionFlags;
  v.MemoryAllocationFlags = 0;
  KS_VIDEO_STREAM_CONFIG_CAPS& c = v.ConfigCaps;
  c.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  c.VideoStandard = r.standards;
  c.InputSize = {720, r.inputHeight};
  c.MinCroppingSize = {r.minWidth, r.height};
  c.MaxCroppingSize = {720, r.height};
  c.CropGranularityX = c.CropGranularityY = 1;
  c.CropAlignX = c.CropAlignY = 1;
  c.MinOutputSize = {r.minWidth, r.height};
  c.MaxOutputSize = {720, r.height};
  c.OutputGranularityX = c.OutputGranularityY = 1;
  c.MinFrameInterval = c.MaxFrameInterval = r.interval;
  c.MinBitsPerSecond = r.minBits;
  c.MaxBitsPerSecond = r.maxBits;
  KS_VIDEOINFOHEADER& h = v.VideoInfoHeader;
  h.dwBitRate = r.bitRate;
  h.AvgTimePerFrame = r.interval;
  h.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  h.bmiHeader.biWidth = r.bitmapWidth;
  h.bmiHeader.biHeight = r.height;
  h.bmiHeader.biPlanes = 1;
  h.bmiHeader.biBitCount = kVideoBitCount;
  h.bmiHeader.biCompression = FourCc(r.subtype);
  h.bmiHeader.biSizeImage = r.imageSize;
  return v;
}

struct VbiRow {
  ULONG sampleSize;
  ULONG standard;
  LONG lines;
  ULONG startLine;
  ULONG endLine;
  LONGLONG interval;
  LONG bits;
};

constexpr KS_DATARANGE_VBI VbiRange(const VbiRow& r) {
  KS_DATARANGE_VBI v{};
  v.DataRange.FormatSize = sizeof(KS_DATARANGE_VBI);
  v.DataRange.SampleSize = r.sampleSize;
  v.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VBI;
  v.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_RAW8;
  v.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VBI;
  v.bFixedSizeSamples = 1;
  v.bTemporalCompression = 1;
  v.StreamDescriptionFlags = kVbiStreamDescriptionFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS& c = v.ConfigCaps;
  c.guid = KSDATAFORMAT_SPECIFIER_VBI;
  c.VideoStandard = r.standard;
  c.InputSize = c.MinCroppingSize = c.MaxCroppingSize = {kVbiLineBytes, r.lines};
  c.MinOutputSize = c.MaxOutputSize = {kVbiLineBytes, r.lines};
  c.CropGranularityX = c.CropGranularityY = 1;
  c.CropAlignX = c.CropAlignY = 1;
  c.OutputGranularityX = c.OutputGranularityY = 1;
  c.MinFrameInterval = c.MaxFrameInterval = r.interval;
  c.MinBitsPerSecond = c.MaxBitsPerSecond = r.bits;
  KS_VBIINFOHEADER& h = v.VBIInfoHeader;
  h.StartLine = r.startLine;
  h.EndLine = r.endLine;
  h.SamplingFrequency = kVbiSamplingFrequency;
  h.MinLineStartTime = 255;
  h.MaxLineStartTime = 900;
  h.ActualLineStartTime = 820;
  h.ActualLineEndTime = 5942;
  h.VideoStandard = r.standard;
  h.SamplesPerLine = kVbiLineBytes;
  h.StrideInBytes = kVbiLineBytes;
  h.BufferSize = r.sampleSize;
  return v;
}

// clang-format off
constexpr VideoRow kVideoRows[kVideoRangeCount] = {
    // subtype      standards       input  min w  height interval  bits/s min  max        bitmap w image   sample  bit rate
    {kSubtypeNvp2,  kStandards525,  480,   320,   480,   333667,   11059200,   124416000, 720,     518400, 518400, 124416000},
    {kSubtypeNvp1,  kStandards525,  240,   320,   240,   333667,   5529600,    62208000,  320,     518400, 115200, 27648000},
    {kSubtypeNvp2,  kStandards625,  576,   352,   576,   400000,   14598144,   124416000, 720,     622080, 622080, 124416000},
    {kSubtypeNvp1,  kStandards625,  288,   352,   288,   400000,   7299072,    62208000,  352,     622080, 152064, 30412800},
};
constexpr VbiRow kVbi525 = {17280, 1,  12, 10, 21, 333667, 8294400};
constexpr VbiRow kVbi625 = {25920, 16, 18, 6,  23, 400000, 10368000};
// clang-format on

}  // namespace

KS_DATARANGE_VIDEO kVideoRanges[kVideoRangeCount] = {VideoRange(kVideoRows[0]), VideoRange(kVideoRows[1]),
                                                     VideoRange(kVideoRows[2]), VideoRange(kVideoRows[3])};

KSDATARANGE_AUDIO kPcmRange = {{{sizeof(KSDATARANGE_AUDIO), 0, 4, 0, KSDATAFORMAT_TYPE_AUDIO,
                                 KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX}},
                               2,
                               16,
                               16,
                               32000,
                               48000};

KS_DATARANGE_VBI kVbiRange525 = VbiRange(kVbi525);
KS_DATARANGE_VBI kVbiRange625 = VbiRange(kVbi625);

KS_DATARANGE_ANALOGVIDEO kAnalogVideoRange = {
    {{sizeof(KS_DATARANGE_ANALOGVIDEO), 0, 0, 0, KSDATAFORMAT_TYPE_ANALOGVIDEO, KSDATAFORMAT_SUBTYPE_NONE,
      KSDATAFORMAT_SPECIFIER_ANALOGVIDEO}},
    {{0, 0, 720, 480}, {0, 0, 720, 480}, 720, 480, 333667}};

KSDATARANGE kAnalogAudioRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_ANALOGAUDIO,
                                  KSDATAFORMAT_SUBTYPE_NONE, KSDATAFORMAT_SPECIFIER_NONE}};

const KS_VBIINFOHEADER& VbiTable(bool is525) {
  return is525 ? kVbiRange525.VBIInfoHeader : kVbiRange625.VBIInfoHeader;
}

namespace {
bool Within(LONG value, LONG min, LONG max, LONG granularity) {
  if (value < min || value > max) return false;
  return granularity <= 1 || (value - min) % granularity == 0;
}
}  // namespace

bool BitmapFitsRange(const KS_BITMAPINFOHEADER& bitmap, const KS_DATARANGE_VIDEO& range) {
  const KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
  const LONG height = bitmap.biHeight < 0 ? -bitmap.biHeight : bitmap.biHeight;
  return bitmap.biHeight != LONG{-0x7FFFFFFF - 1} &&
         Within(bitmap.biWidth, caps.MinOutputSize.cx, caps.MaxOutputSize.cx, caps.OutputGranularityX) &&
         Within(height, caps.MinOutputSize.cy, caps.MaxOutputSize.cy, caps.OutputGranularityY) &&
         bitmap.biBitCount == range.VideoInfoHeader.bmiHeader.biBitCount &&
         bitmap.biCompression == range.VideoInfoHeader.bmiHeader.biCompression;
}

ULONG ImageSize(const KS_DATARANGE_VIDEO& range, LONG height) {
  const ULONG lines = static_cast<ULONG>(height < 0 ? -static_cast<LONGLONG>(height) : height);
  const ULONG factor = IsEqualGUID(range.DataRange.SubFormat, kSubtypeNvp1) ? 2 : 1;
  return factor * lines * kImageBytesPerLine;
}

}  // namespace pelgar
