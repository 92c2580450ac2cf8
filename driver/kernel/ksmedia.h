// The kernel-streaming media definitions a capture minidriver uses, with the platform's own names and
// layouts: format and category GUIDs, video, VBI, analogue and audio data ranges and formats, the extended
// stream headers of video and VBI frames, tuner-change records and the dropped-frames property.
//
// Layouts are the platform's; the sizes noted beside them are those of the 32-bit system, where handles
// and pointers take 4 bytes (the host build's handles are wider, so the headers that carry them grow).
#pragma once

#include "driver/kernel/ks.h"

// ---------------------------------------------------------------------------------------------------------
// GUIDs

// clang-format off
inline constexpr GUID KSDATAFORMAT_TYPE_VIDEO            = {0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID KSDATAFORMAT_TYPE_AUDIO            = {0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID KSDATAFORMAT_TYPE_VBI              = {0xF72A76E1, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID KSDATAFORMAT_TYPE_ANALOGVIDEO      = {0x0482DDE1, 0x7817, 0x11CF, {0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65}};
inline constexpr GUID KSDATAFORMAT_TYPE_ANALOGAUDIO      = {0x0482DEE1, 0x7817, 0x11CF, {0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65}};
inline constexpr GUID KSDATAFORMAT_TYPE_STREAM           = {0xE436EB83, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_MPEG2_PROGRAM         = {0xE06D8022, 0xDB46, 0x11CF, {0xB4, 0xD1, 0x00, 0x80, 0x5F, 0x6C, 0xBB, 0xEA}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_NONE          = {0xE436EB8E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_PCM           = {0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_RAW8          = {0xCA20D9A0, 0x3E3E, 0x11D1, {0x9B, 0xF9, 0x00, 0xC0, 0x4F, 0xBB, 0xDE, 0xBF}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_NONE        = {0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO   = {0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_WAVEFORMATEX = {0x05589F81, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VBI         = {0xF72A76E0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_ANALOGVIDEO = {0x0482DDE0, 0x7817, 0x11CF, {0x8A, 0x03, 0x00, 0xAA, 0x00, 0x6E, 0xCB, 0x65}};
inline constexpr GUID GUID_NULL                          = {0x00000000, 0x0000, 0x0000, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};

inline constexpr GUID PINNAME_VIDEO_CAPTURE              = {0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID PINNAME_VIDEO_ANALOGVIDEOIN        = {0xFB6C4283, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID PINNAME_VIDEO_VBI                  = {0xFB6C4284, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};

inline constexpr GUID KSCATEGORY_AUDIO                   = {0x6994AD04, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSCATEGORY_VIDEO                   = {0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSCATEGORY_CAPTURE                 = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSCATEGORY_TVAUDIO                 = {0xA799A802, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
inline constexpr GUID KSCATEGORY_CROSSBAR                = {0xA799A801, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
inline constexpr GUID KSCATEGORY_TVTUNER                 = {0xA799A800, 0xA46D, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0x24, 0x01, 0xDC, 0xD4}};
inline constexpr GUID KSNODETYPE_DEV_SPECIFIC            = {0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};

inline constexpr GUID PROPSETID_VIDCAP_DROPPEDFRAMES     = {0xC6E13344, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
// clang-format on

// A video subtype made from a FourCC (first character in the lowest byte).
constexpr GUID FourCcSubtype(char a, char b, char c, char d) {
  return {static_cast<ULONG>(static_cast<UCHAR>(a)) | static_cast<ULONG>(static_cast<UCHAR>(b)) << 8 |
              static_cast<ULONG>(static_cast<UCHAR>(c)) << 16 | static_cast<ULONG>(static_cast<UCHAR>(d)) << 24,
          0x0000,
          0x0010,
          {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

// ---------------------------------------------------------------------------------------------------------
// Video

typedef struct {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT;

typedef struct {
  LONG cx;
  LONG cy;
} SIZE;

typedef struct {
  ULONG biSize;
  LONG biWidth;
  LONG biHeight;
  USHORT biPlanes;
  USHORT biBitCount;
  ULONG biCompression;
  ULONG biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  ULONG biClrUsed;
  ULONG biClrImportant;
} KS_BITMAPINFOHEADER;  // 40 bytes

typedef struct {
  RECT rcSource;
  RECT rcTarget;
  ULONG dwBitRate;
  ULONG dwBitErrorRate;
  LONGLONG AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER;  // 88 bytes: 48 before the bitmap header

typedef struct {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  alignas(8) LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS;  // 128 bytes

typedef struct {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG StreamDescriptionFlags;
  ULONG MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;  // 296 bytes

typedef struct {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;  // 152 bytes

// The four flag words of a video or VBI range (bFixedSizeSamples ... MemoryAllocationFlags).
inline constexpr ULONG KS_RANGE_FLAG_WORDS_BYTES = 16;

// ---------------------------------------------------------------------------------------------------------
// VBI

typedef struct {
  ULONG StartLine;
  ULONG EndLine;
  ULONG SamplingFrequency;
  ULONG MinLineStartTime;
  ULONG MaxLineStartTime;
  ULONG ActualLineStartTime;
  ULONG ActualLineEndTime;
  ULONG VideoStandard;
  ULONG SamplesPerLine;
  ULONG StrideInBytes;
  ULONG BufferSize;
} KS_VBIINFOHEADER;  // 44 bytes

typedef struct {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  ULONG StreamDescriptionFlags;
  ULONG MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VBIINFOHEADER VBIInfoHeader;
} KS_DATARANGE_VBI, *PKS_DATARANGE_VBI;  // 256 bytes

typedef struct {
  KSDATAFORMAT DataFormat;
  KS_VBIINFOHEADER VBIInfoHeader;
} KS_DATAFORMAT_VBIINFOHEADER, *PKS_DATAFORMAT_VBIINFOHEADER;  // 112 bytes

// A tuner's change notice, as the tuner filter sends it down to the capture filter's analogue input.
typedef struct {
  ULONG dwFlags;
  ULONG dwCountryCode;
  ULONG dwAnalogVideoStandard;
  ULONG dwChannel;
} KS_TVTUNER_CHANGE_INFO;  // 16 bytes

// ---------------------------------------------------------------------------------------------------------
// Analogue video and audio

typedef struct {
  RECT rcSource;
  RECT rcTarget;
  ULONG dwActiveWidth;
  ULONG dwActiveHeight;
  LONGLONG AvgTimePerFrame;
} KS_ANALOGVIDEOINFO;  // 48 bytes

typedef struct {
  KSDATARANGE DataRange;
  KS_ANALOGVIDEOINFO AnalogVideoInfo;
} KS_DATARANGE_ANALOGVIDEO, *PKS_DATARANGE_ANALOGVIDEO;  // 112 bytes

typedef struct {
  KSDATARANGE DataRange;
  ULONG MaximumChannels;
  ULONG MinimumBitsPerSample;
  ULONG MaximumBitsPerSample;
  ULONG MinimumSampleFrequency;
  ULONG MaximumSampleFrequency;
} KSDATARANGE_AUDIO, *PKSDATARANGE_AUDIO;  // 88 bytes

#pragma pack(push, 1)
typedef struct {
  USHORT wFormatTag;
  USHORT nChannels;
  ULONG nSamplesPerSec;
  ULONG nAvgBytesPerSec;
  USHORT nBlockAlign;
  USHORT wBitsPerSample;
  USHORT cbSize;
} WAVEFORMATEX;  // 18 bytes
#pragma pack(pop)

inline constexpr USHORT WAVE_FORMAT_PCM = 1;
// A PCM format as a connection carries it: the header, then the wave format (82 bytes).
inline constexpr ULONG KSDATAFORMAT_WAVEFORMATEX_BYTES = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);

// ---------------------------------------------------------------------------------------------------------
// Extended stream headers and the dropped-frames property

typedef struct {
  ULONG ExtendedHeaderSize;
  ULONG dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  PVOID hDirectDraw;
  PVOID hSurfaceHandle;
  RECT DirectDrawRect;
  ULONG Reserved1;
  ULONG Reserved2;
  ULONG Reserved3;
  ULONG Reserved4;
} KS_FRAME_INFO;  // 64 bytes on the 32-bit system

typedef struct {
  ULONG ExtendedHeaderSize;
  ULONG dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG dwSamplingFrequency;
  KS_TVTUNER_CHANGE_INFO TvTunerChangeInfo;
  KS_VBIINFOHEADER VBIInfoHeader;
} KS_VBI_FRAME_INFO;  // 88 bytes

// dwFrameFlags of a VBI frame.
inline constexpr ULONG KS_VBI_FLAG_FIELD1 = 0x0001;
inline constexpr ULONG KS_VBI_FLAG_FIELD2 = 0x0002;
inline constexpr ULONG KS_VBI_FLAG_TVTUNER_CHANGE = 0x0010;
inline constexpr ULONG KS_VBI_FLAG_VBIINFOHEADER_CHANGE = 0x0020;

inline constexpr ULONG KSPROPERTY_DROPPEDFRAMES_CURRENT = 0;

typedef struct {
  KSPROPERTY Property;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S;  // 48 bytes

static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);
static_assert(sizeof(KS_VBIINFOHEADER) == 44);
static_assert(sizeof(KS_DATARANGE_VBI) == 256);
static_assert(sizeof(KS_DATAFORMAT_VBIINFOHEADER) == 112);
static_assert(sizeof(KS_DATARANGE_ANALOGVIDEO) == 112);
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);
static_assert(KSDATAFORMAT_WAVEFORMATEX_BYTES == 82);
static_assert(sizeof(KS_VBI_FRAME_INFO) == 88);
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);
