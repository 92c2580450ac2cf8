// The capture filters' stream pins built on `StreamPin`: raw video (stream index 1), raw audio (index 2, one
// pin on each capture filter, whichever acquires first owns the slot) and VBI (index 3), with their format
// checks and intersection; and the video capture filter's format-only pins: the analogue video input that
// takes the tuner's change notices and the format hand-over to the encoder filter, whose video input
// checks the format it is given.
//
// Contexts as in stream_pin.h: dispatch routines at passive level; `FrameDropped`, `ParseVbi` and the
// buffer operations in the DMA engine's DPCs under its spin lock.
#pragma once

#include "driver/data_ranges.h"
#include "driver/stream_pin.h"

namespace pelgar {

// Raw video frames: both planes of a frame in one buffer.
inline constexpr ULONG kRawVideoFrames = 10;

class RawVideoPin final : public StreamPin {
 public:
  // Copies the connection format, sizes the framing by it and applies its width and height as the
  // encoder's frame size (refused while a stream runs: STATUS_INVALID_DEVICE_REQUEST).
  static NTSTATUS Create(PKSPIN pin, PIRP irp);
  // The connection format against the pin's range: specifier (STATUS_NO_MATCH), size (at least 152
  // bytes, else STATUS_INVALID_PARAMETER), bitmap within the range (STATUS_NO_MATCH), image size
  // (STATUS_INVALID_PARAMETER). A change of an existing format keeps its interval, size, bit count and
  // compression (STATUS_NO_MATCH) and waits for no buffers to be outstanding (STATUS_INVALID_DEVICE_STATE).
  static NTSTATUS SetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PVOID oldAttributes, const KSDATARANGE* range,
                                const VOID* attributeRange);
  // A format from the caller's range (at least 296 bytes, else STATUS_INVALID_PARAMETER) that matches the
  // pin's range in its flags and caps and fits it: this range's header, the caller's video info header,
  // the image size recomputed (biSize + 112 bytes).
  static NTSTATUS Intersect(PVOID context, PIRP irp, PKSP_PIN request, PKSDATARANGE range, PKSDATARANGE matching,
                            ULONG bufferSize, PVOID data, PULONG dataSize);

  RawVideoPin(PKSPIN pin, PelgarDevice* device) : StreamPin(pin, kStreamIndexRawVideo, device) {}
  // KS_FRAME_INFO: picture number and drop count.
  void FillExtendedHeader(PKSSTREAM_HEADER header) override;
  void FrameDropped() override { CountDrop(); }
  const KS_DATAFORMAT_VIDEOINFOHEADER& Format() const { return format_; }

 private:
  KS_DATAFORMAT_VIDEOINFOHEADER format_;  // the connection format
};

class RawAudioPin final : public StreamPin {
 public:
  // The connection format's sampling rate must be the encoder's (audio word), else
  // STATUS_INVALID_PARAMETER; frames of 10 ms.
  static NTSTATUS Create(PKSPIN pin, PIRP irp);
  // PCM at the encoder's rate, 16-bit stereo (82 bytes).
  static NTSTATUS Intersect(PVOID context, PIRP irp, PKSP_PIN request, PKSDATARANGE range, PKSDATARANGE matching,
                            ULONG bufferSize, PVOID data, PULONG dataSize);

  RawAudioPin(PKSPIN pin, PelgarDevice* device) : StreamPin(pin, kStreamIndexRawAudio, device) {}
};

// VBI: the firmware's VBI ring is staged with the program stream's transfers; each staged ring buffer
// yields the lines of both fields, each field into a buffer of its own.
inline constexpr ULONG kVbiFrames = 8;
inline constexpr ULONG kVbiSampleBytes = 1440;

class VbiPin final : public StreamPin {
 public:
  // Takes the current standard's line table (not the connection format's), sizes the framing by it and
  // presets the tuner-change record it reports after the next run.
  static NTSTATUS Create(PKSPIN pin, PIRP irp);
  // Specifier VBI (STATUS_NO_MATCH), at least 112 bytes (STATUS_INVALID_PARAMETER), and the current
  // standard's lines, samples and buffer size (STATUS_NO_MATCH).
  static NTSTATUS SetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PVOID oldAttributes, const KSDATARANGE* range,
                                const VOID* attributeRange);
  // This range's header and VBI info header (112 bytes) for a caller range equal to it.
  static NTSTATUS Intersect(PVOID context, PIRP irp, PKSP_PIN request, PKSDATARANGE range, PKSDATARANGE matching,
                            ULONG bufferSize, PVOID data, PULONG dataSize);

  VbiPin(PKSPIN pin, PelgarDevice* device) : StreamPin(pin, kStreamIndexVbi, device) {}
  // Extracts the lines of both fields of each staged ring buffer (words in the encoder's order) into a
  // buffer per field. A field's lines go to its buffer only when the buffer holds them all; a field whose
  // lines were not all found, or whose buffer is too small, completes with no data. A field without a
  // buffer is counted as dropped.
  void ParseVbi(const UCHAR* staged, ULONG count, ULONG bufferSize) override;
  // KS_VBI_FRAME_INFO: field, picture number, drop count, sampling frequency; after a tuner change (and
  // after each run) the change record and the line table.
  void FillExtendedHeader(PKSSTREAM_HEADER header) override;
  // The tuner-change record is reported with the first buffer after run.
  void RunHook() override { tunerInfoPending_ = TRUE; }
  // A tuner change the capture filter's analogue input received.
  void NoteTunerChange(const KS_TVTUNER_CHANGE_INFO& change);

 private:
  // Searches field `field`'s lines in `data` from *position; whether the field ran through its lines.
  BOOLEAN ExtractField(PUCHAR data, ULONG bytes, ULONG field, ULONG* position, CaptureBuffer* buffer);

  KS_VBIINFOHEADER info_;         // the line table the pin delivers
  ULONG samplingFrequency_;       // from the line table
  KS_TVTUNER_CHANGE_INFO tuner_;  // the last tuner change
  BOOLEAN tunerInfoPending_;      // report the change with the next buffer
  ULONG field_;                   // flag of the field being completed (1 or 2)
};

// The video capture filter's analogue video input: a 16-byte tuner-change record goes to the filter's VBI
// pin; anything else is STATUS_UNSUCCESSFUL.
NTSTATUS AnalogVideoInProcess(PKSPIN pin);
// The format hand-over pin (video capture pin 5): this range's header and the caller's video info header
// (152 bytes) when the caller's range shares a standard with it and covers the card's standard.
NTSTATUS HandOverIntersect(PVOID context, PIRP irp, PKSP_PIN request, PKSDATARANGE range, PKSDATARANGE matching,
                           ULONG bufferSize, PVOID data, PULONG dataSize);
// The encoder filter's video input: the format's frame size becomes the encoder's; a height of the other
// line count is refused (STATUS_INVALID_PARAMETER).
NTSTATUS EncoderVideoInSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PVOID oldAttributes,
                                     const KSDATARANGE* range, const VOID* attributeRange);

extern const KSPIN_DISPATCH kRawVideoPinDispatch;
extern const KSPIN_DISPATCH kRawAudioPinDispatch;
extern const KSPIN_DISPATCH kVbiPinDispatch;
extern const KSPIN_DISPATCH kAnalogVideoInDispatch;
extern const KSPIN_DISPATCH kEncoderVideoInDispatch;

}  // namespace pelgar
