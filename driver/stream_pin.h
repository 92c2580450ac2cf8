// The capture filters' stream pins: the pin context every stream pin shares (`StreamPin`: slot in the
// device's pin table, state machine, buffers handed to the DMA engine as clones of the leading edge, buffer
// completion with stream headers) and the pins built on it.
//
// Contexts: the dispatch routines (Create, Close, SetDeviceState, intersection) run at passive level in the
// caller's thread; Process runs at passive level on the class driver's processing thread. `TakeBuffer` and
// `CompleteBuffer` run in the DMA engine's DPCs under its spin lock (DISPATCH_LEVEL).
#pragma once

#include "driver/dma_engine.h"
#include "driver/kernel/ksmedia.h"

namespace pelgar {

struct PelgarDevice;

// The tag of the descriptor and framing copies a stream pin edits for itself.
inline constexpr ULONG kPinEditTag = 0x4E56524E;  // "NRVN"

// The MPEG pin's allocator: frames of 128 KiB, twenty of them.
inline constexpr ULONG kMpegFrames = 20;
inline constexpr ULONG kMpegFrameBytes = 0x20000;

class StreamPin : public CaptureStream {
 public:
  // Pin dispatch routines every stream pin shares. SetDeviceState: the pin's state machine (slot claim at
  // acquire, stream start at run, stop and clone clean-up on the way down). Close: destroys the context.
  static NTSTATUS SetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from);
  static NTSTATUS Close(PKSPIN pin, PIRP irp);

  // ---- CaptureStream (DMA engine)
  ULONG StreamIndex() const override { return index_; }
  ULONG BufferSize() const override { return bufferSize_; }
  // Clones the leading edge (its mappings copied into the clone's context) and moves the edge on.
  CaptureBuffer* TakeBuffer() override;
  // Stream header, extended header, post-processing, then the clone is unlocked and deleted.
  void CompleteBuffer(CaptureBuffer* buffer) override;

  // ---- The pin kinds' operations
  virtual ~StreamPin() = default;
  // A completed buffer's data before it goes back (MPEG: the encoder's word order undone).
  virtual void PostProcess(PUCHAR data, ULONG bytes) {
    (void)data;
    (void)bytes;
  }
  // Writes the pin kind's extended header behind the stream header (when the header has room for it).
  virtual void FillExtendedHeader(PKSSTREAM_HEADER header) { (void)header; }
  // Called as the pin enters run, before the stream starts.
  virtual void RunHook() {}

  // Whether the pin holds its stream index's slot in the device's pin table.
  BOOLEAN OwnsSlot() const;
  ULONGLONG Pictures() const { return pictures_; }
  ULONGLONG Drops() const { return drops_; }
  BOOLEAN HasClock() const { return clock_ != nullptr; }

  // PROPSETID_VIDCAP_DROPPEDFRAMES, item 0 (get, 48 bytes): picture number, drop count and the buffer size
  // as the average frame size, of the pin the request was sent to.
  static NTSTATUS GetDroppedFrames(PIRP irp, PKSIDENTIFIER request, PVOID data);

 protected:
  StreamPin(PKSPIN pin, ULONG index, PelgarDevice* device) : pin_(pin), device_(device), index_(index) {}
  // Gives the pin its own copy of its descriptor and allocator framing: `frames` frames of `frameBytes`
  // each (physical and framing ranges), no stepping; `frameDuration` in 100 ns units (0: none).
  NTSTATUS EditFraming(ULONG frames, ULONG frameBytes, LONGLONG frameDuration);
  // The next picture number (counts the pin's completed pictures).
  ULONGLONG NextPicture() { return ++pictures_; }
  // A picture lost for want of a buffer.
  void CountDrop() { drops_ += 1; }

  PKSPIN pin_;
  PelgarDevice* device_;

 private:
  NTSTATUS Acquire(KSSTATE from);
  NTSTATUS Run();
  void StopStreaming();
  void DeleteClones();
  void ReleaseSlot();

  ULONG index_;
  void ReleaseClock();

  PIKSREFERENCECLOCK clock_;  // the graph's reference clock from acquire to stop, or none
  ULONGLONG pictures_;
  ULONGLONG drops_;  // pictures the pin lost for want of a buffer
  BOOLEAN discontinuity_;
  ULONG bufferSize_;
  LONGLONG frameDuration_;
};

// The encoder filter's MPEG program-stream pin (stream index 0).
class MpegPin final : public StreamPin {
 public:
  static NTSTATUS Create(PKSPIN pin, PIRP irp);
  // New frames arrived: a request the engine holds for want of buffers is answered now.
  static NTSTATUS Process(PKSPIN pin);
  // The format is the pin's own range (64 bytes).
  static NTSTATUS Intersect(PVOID context, PIRP irp, PKSP_PIN request, PKSDATARANGE range, PKSDATARANGE matching,
                            ULONG bufferSize, PVOID data, PULONG dataSize);

  MpegPin(PKSPIN pin, PelgarDevice* device) : StreamPin(pin, kStreamIndexMpeg, device) {}
  // The encoder writes big-endian words: every whole word of the data is swapped back.
  void PostProcess(PUCHAR data, ULONG bytes) override;
};

extern const KSPIN_DISPATCH kMpegPinDispatch;

// The automation table of the pins that answer PROPSETID_VIDCAP_DROPPEDFRAMES (raw video and VBI).
extern const KSAUTOMATION_TABLE kDroppedFramesAutomationTable;

// The device context of a pin's card; null when it cannot be found.
PelgarDevice* DeviceOfPin(PKSPIN pin);

}  // namespace pelgar
