// The encoder parameters of one card (bit rates and mode, GOP structure, stream type, audio word, frame
// size and the noise-filter block) with their registry persistence under "DriverData", the mailbox
// commands that carry them to the encoder, and the property handlers that change them: the private encoder
// property set 9D12BF07-3548-4EAC-9344-830CFA79B92F and the encoder-API sets for bit rate, peak bit rate
// and bit-rate mode.
//
// Setters run at passive level. The locked setters (closed GOP, GOP pictures, inverse telecine, the four
// audio fields, stream type, frame size) take the device lock and refuse a different value while any
// stream runs (STATUS_INVALID_DEVICE_STATE; the same value succeeds with nothing to do). The bit-rate,
// filter and muxed-rate setters run without it; the mailbox mutex still serialises their commands. A
// setter stores and persists its value first; a failed mailbox command is then reported as the setter's
// status, and the stored value is sent again by the next full configuration.
#pragma once

#include "driver/kernel/ks.h"

namespace pelgar {

struct PelgarDevice;

// The 20-byte noise-filter block exactly as property 10 carries it (little-endian).
#pragma pack(push, 1)
struct NoiseFilterBlock {
  LONG medianType;       // 0 off, 1 horizontal, 2 vertical, 3 horizontal/vertical, 4 diagonal
  UCHAR temporalStatic;  // 1 static, 0 dynamic
  UCHAR spatialStatic;
  SHORT temporalLevel;  // 0-31
  SHORT spatialLevel;   // 0-15
  SHORT lumaLow;        // coring thresholds, 0-255
  SHORT lumaHigh;
  SHORT chromaLow;
  SHORT chromaHigh;
  UCHAR padding[2];
};
#pragma pack(pop)
static_assert(sizeof(NoiseFilterBlock) == 20);

// Fields of the audio word.
struct AudioWord {
  static constexpr ULONG kDefault = 0x000000E9;
  static constexpr ULONG kSamplingShift = 0, kSamplingMask = 0x3, kSamplingMax = 2;
  static constexpr ULONG kDataRateShift = 4, kDataRateMask = 0xF, kDataRateMin = 10, kDataRateMax = 14;
  static constexpr ULONG kOutputModeShift = 8, kOutputModeMask = 0x3, kOutputModeMax = 3;
  static constexpr ULONG kCrcShift = 14, kCrcMask = 0x1, kCrcMax = 1;
  // The sampling rate a code selects: 0 44100, 2 32000, anything else 48000.
  static constexpr ULONG Rate(ULONG code) { return code == 0 ? 44100 : code == 2 ? 32000 : 48000; }
};

// The encoder-API value ranges as the sets advertise them.
inline constexpr ULONG kEncApiBitRateMin = 1500000, kEncApiBitRateMax = 8500000, kEncApiBitRateDefault = 4000000;
inline constexpr ULONG kEncApiPeakMin = 2250000, kEncApiPeakMax = 9500000, kEncApiPeakDefault = 6000000;
inline constexpr LONG kEncApiConstant = 0, kEncApiVariableAverage = 1, kEncApiVariablePeak = 2;

// The peak an encoder-API rate implies, and whether a peak suits a rate; 64-bit, so no rate overflows.
constexpr ULONGLONG DerivedPeak(ULONGLONG rate) { return rate <= 6000000 ? rate * 3 / 2 : rate * 11 / 10; }
constexpr bool PeakSuitsRate(ULONGLONG peak, ULONGLONG rate) {
  return rate * 11 / 10 <= peak && peak <= rate * 3 / 2;
}

class EncoderSettings {
 public:
  // Defaults, then every registry value, then the encoder-API mode (2 when the loaded mode is variable).
  // The tuner type of the card decides the filter defaults, so the probe must have run.
  static NTSTATUS Create(PelgarDevice* device, EncoderSettings** settings);
  static void Destroy(EncoderSettings* settings);

  // ---- Setters (passive level)
  NTSTATUS SetBitRate(LONG rate);
  NTSTATUS SetBitRatePeak(LONG peak);
  NTSTATUS SetBitRateMode(LONG mode);
  NTSTATUS SetGopPictures(UCHAR pictures);
  NTSTATUS SetClosedGop(bool closed);
  NTSTATUS SetInverseTelecine(bool on);
  // Audio fields: codes outside the advertised range fail with STATUS_INVALID_PARAMETER.
  NTSTATUS SetAudioDataRate(ULONG code);
  NTSTATUS SetAudioCrc(ULONG on);
  NTSTATUS SetAudioOutputMode(ULONG mode);
  NTSTATUS SetAudioSamplingRate(ULONG code);
  NTSTATUS SetStreamType(LONG type);
  NTSTATUS SetFilterBlock(const NoiseFilterBlock& block);
  NTSTATUS SetMuxedRate(LONG rate);
  NTSTATUS SetFrameSize(LONG width, LONG height);
  // Encoder-API mode (0 constant, 1 variable average, 2 variable peak) with the peak it implies.
  NTSTATUS SetEncApiMode(LONG mode);
  // Encoder-API bit rate with the peak the current mode implies.
  NTSTATUS SetEncApiBitRate(ULONG rate);

  // ---- Mailbox commands of the fields (caller holds the device lock where the sequence needs it)
  // The whole parameter list of a full configuration; stops at the first failed command.
  NTSTATUS SendParameters();
  NTSTATUS SendBitRate();
  NTSTATUS SendFilters();

  // ---- Fields
  LONG BitRateMode() const { return bitRateMode_; }
  LONG BitRate() const { return bitRate_; }
  LONG BitRatePeak() const { return bitRatePeak_; }
  LONG GopPictures() const { return gopPictures_; }
  LONG GopBFrames() const { return gopBFrames_; }
  bool ClosedGop() const { return closedGop_; }
  bool InverseTelecine() const { return inverseTelecine_; }
  ULONG AudioWordValue() const { return audioWord_; }
  ULONG AudioField(ULONG shift, ULONG mask) const { return audioWord_ >> shift & mask; }
  LONG StreamType() const { return streamType_; }
  LONG Width() const { return width_; }
  LONG Height() const { return height_; }
  const NoiseFilterBlock& Filter() const { return filter_; }
  LONG MuxedRate() const { return muxedRate_; }
  LONG EncApiMode() const { return encApiMode_; }
  // Stream types 2 (MPEG-1) and 11 (VCD) are encoded at half height.
  bool IsHalfHeight() const { return streamType_ == 2 || streamType_ == 11; }

 private:
  explicit EncoderSettings(PelgarDevice* device);
  ~EncoderSettings() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  void Load();
  // The common path of the locked setters: under the device lock, refuses a change while streaming,
  // applies `change` and sends `send`.
  template <class Apply>
  NTSTATUS Locked(bool same, Apply apply);
  NTSTATUS SetAudioField(ULONG shift, ULONG mask, ULONG min, ULONG max, ULONG value, PCSTR name);
  NTSTATUS SendAudio();
  void Persist(PCSTR name, ULONG value) const;

  PelgarDevice* device_;  // the owning card: lock, registry, mailbox, decoder
  LONG bitRateMode_;      // 1 constant, 0 variable
  LONG bitRate_;
  LONG bitRatePeak_;
  LONG gopPictures_;
  LONG gopBFrames_;
  bool closedGop_;
  bool inverseTelecine_;
  ULONG audioWord_;
  LONG streamType_;
  LONG width_;
  LONG height_;
  NoiseFilterBlock filter_;
  LONG muxedRate_;
  LONG encApiMode_;
};

// The property sets of the encoder filter: the private set and the three encoder-API sets, for the
// filter's automation table.
extern const GUID kEncoderPropertySet;
extern const GUID kEncApiBitRate;
extern const GUID kEncApiPeakBitRate;
extern const GUID kEncApiBitRateMode;
inline constexpr ULONG kEncoderPropertySetCount = 4;
extern const KSPROPERTY_SET kEncoderPropertySets[kEncoderPropertySetCount];
extern const KSAUTOMATION_TABLE kEncoderAutomationTable;

}  // namespace pelgar
