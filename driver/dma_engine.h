// The bus-master capture engine and the VBI ring it stages from encoder memory.
//
// All captured data leaves the card by DMA that the encoder firmware asks for and the driver programs: the
// firmware raises "DMA request" (interrupt status bit 31) with a request record in encoder memory (stream
// index, address, byte count), the request DPC answers with the physical address of a descriptor list that
// points into the stream buffers of the pins (or into a common buffer) and the firmware raises "DMA done"
// (bit 27) when it has moved the bytes; the done DPC then completes the buffers. MPEG and raw video land
// directly in the stream buffers (zero copy); raw audio and VBI are staged in common buffers and copied.
//
// Contexts: `Isr` at device IRQL touches only the status and mask registers and queues a DPC. The request
// and done DPCs and `RetryPendingRequest` hold the engine's spin lock for their whole work (DISPATCH_LEVEL).
// `Attach` and `Detach` run at passive level under the device lock and take the spin lock only around the
// slot updates. Nothing is allocated on the data path: descriptor pages and staging buffers exist from start.
#pragma once

#include "driver/chip_registers.h"

namespace pelgar {

class EncoderMailbox;

// Stream indexes of the engine's pin slots (also the firmware's request stream for 0 to 2).
inline constexpr ULONG kStreamIndexMpeg = 0;
inline constexpr ULONG kStreamIndexRawVideo = 1;
inline constexpr ULONG kStreamIndexRawAudio = 2;
inline constexpr ULONG kStreamIndexVbi = 3;
inline constexpr ULONG kStreamIndexAux = 4;
inline constexpr ULONG kStreamSlots = 5;
inline constexpr ULONG kDmaStreams = 3;  // streams the firmware requests DMA for

// One DMA descriptor in host memory, as the encoder reads it (little-endian words).
struct DmaDescriptor {
  ULONG source;       // encoder memory address
  ULONG destination;  // host physical address
  ULONG control;      // bits 17-0 byte count, 29-18 and 30 zero, 31 last descriptor of the list
};
inline constexpr ULONG kDescriptorCountMask = 0x3FFFF;
inline constexpr ULONG kDescriptorLast = 0x80000000u;
inline constexpr ULONG kDescriptorPageBytes = 4096;
inline constexpr ULONG kMaxDescriptors = kDescriptorPageBytes / sizeof(DmaDescriptor);  // 341
// The largest piece one descriptor moves, kept a multiple of the 256-byte transfer unit.
inline constexpr ULONG kMaxDescriptorBytes = kDescriptorCountMask & ~0xFFu;
// Transfers move whole 256-byte units; a short last piece is padded up to one.
inline constexpr ULONG kTransferUnit = 256;
// The first bytes of every raw audio transfer are the encoder's block header, which is not delivered.
inline constexpr ULONG kAudioHeaderBytes = 12;
// Encoder memory: the lower half of the card's window.
inline constexpr ULONG kEncoderMemoryBytes = 0x2000000;

// One piece of a stream buffer as the bus sees it (a scatter/gather mapping).
struct BufferMapping {
  PHYSICAL_ADDRESS physical;
  ULONG bytes;
};

// Stream-header flag of a buffer completed after data was lost in front of it.
inline constexpr ULONG kBufferDiscontinuity = 0x00000001;

// A stream buffer taken from a pin's queue for a transfer (on the pin, a clone of its leading-edge stream
// pointer). The pin fills in where the buffer lies; the engine records what it scheduled into it.
struct CaptureBuffer {
  const BufferMapping* mappings;  // the buffer's scatter/gather list, in buffer order
  ULONG mappingCount;
  PUCHAR data;          // the buffer's system address (copied streams: raw audio)
  ULONG frameExtent;    // the buffer's size in bytes
  ULONG dataUsed;       // bytes of stream data the buffer holds when completed
  ULONG flags;          // kBufferDiscontinuity
  ULONG mappingIndex;   // engine: mapping being filled
  ULONG mappingOffset;  // engine: bytes of that mapping already scheduled
  ULONG scheduled;      // engine: bytes scheduled into the buffer so far, padding included
};

// What the engine needs of a running pin. The capture pins implement it; every operation is called with
// the engine's spin lock held (DISPATCH_LEVEL) except where stated.
class CaptureStream {
 public:
  // Which slot the pin occupies (kStreamIndex*); passive level.
  virtual ULONG StreamIndex() const = 0;
  // The size of the pin's buffers (its allocator framing); passive level.
  virtual ULONG BufferSize() const = 0;
  // Takes the next empty buffer from the pin's queue; null when the queue is empty.
  virtual CaptureBuffer* TakeBuffer() = 0;
  // Hands a filled buffer (dataUsed, flags set) back to the pin, which completes it.
  virtual void CompleteBuffer(CaptureBuffer* buffer) = 0;
  // VBI pin: parse `count` staged VBI buffers of `bufferSize` bytes each from `staged`.
  virtual void ParseVbi(const UCHAR* staged, ULONG count, ULONG bufferSize) {
    (void)staged;
    (void)count;
    (void)bufferSize;
  }
  // Auxiliary-data pin: where its record ring lies (passive level, at attach), and read the new records.
  virtual void SetAuxRing(ULONG ringBase, ULONG firstRecord, ULONG recordCount) {
    (void)ringBase;
    (void)firstRecord;
    (void)recordCount;
  }
  virtual void ReadAuxRecords() {}
  // Raw video pin: the firmware dropped a frame because the pin had no buffer for it.
  virtual void FrameDropped() {}

 protected:
  ~CaptureStream() = default;
};

// The firmware's VBI ring in encoder memory and the staging buffer (common buffer 1) VBI data is copied to.
class VbiRing {
 public:
  // Over encoder memory and the VBI staging buffer.
  static NTSTATUS Create(PUCHAR mem, PVOID staging, PHYSICAL_ADDRESS stagingPhysical, ULONG stagingLength,
                         VbiRing** ring);
  static void Destroy(VbiRing* ring);

  // Takes over the ring the firmware reported to the VBI configuration: N buffers of S bytes from encoder
  // offset O, the lines per field and the two start-code bytes. Each staging copies (S rounded down to 256)
  // + 256 bytes of one ring buffer, and up to two are staged at once. A ring whose copies would read past
  // encoder memory or past the end of the ring's area, or whose two copies do not fit the staging buffer,
  // is refused with STATUS_INVALID_PARAMETER: VBI is then disabled (nothing is staged) until a ring that
  // fits is configured. `Disable` switches it off (no valid configuration).
  NTSTATUS Configure(ULONG offset, ULONG bufferSize, ULONG count, ULONG linesPerField, UCHAR startCode1,
                     UCHAR startCode2);
  void Disable() { enabled_ = FALSE; }
  BOOLEAN Enabled() const { return enabled_; }
  ULONG BufferSize() const { return size_; }
  ULONG BufferCount() const { return count_; }
  ULONG Offset() const { return offset_; }
  ULONG LinesPerField() const { return linesPerField_; }
  UCHAR StartCode(ULONG field) const { return startCodes_[field & 1]; }
  ULONG NextBuffer() const { return next_; }
  // Stream start of the VBI pin: the firmware's buffer 0 is the one it completed at configuration.
  void Restart() { next_ = 1; }
  ULONG Staged() const { return staged_; }

 private:
  friend class CaptureDmaEngine;
  VbiRing(PUCHAR mem, PVOID staging, PHYSICAL_ADDRESS stagingPhysical, ULONG stagingLength);
  ~VbiRing() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  PUCHAR mem_;
  PUCHAR staging_;
  PHYSICAL_ADDRESS stagingPhysical_;
  ULONG stagingLength_;
  BOOLEAN enabled_;  // a ring that fits has been configured
  ULONG offset_;     // O: encoder offset of buffer 0; the firmware's write position word lies at O - 4
  ULONG size_;       // S
  ULONG count_;      // N
  ULONG next_;       // d: the ring buffer to stage next
  ULONG linesPerField_;
  UCHAR startCodes_[2];
  ULONG staged_;  // buffers copied to the staging buffer and not yet parsed
};

class CaptureDmaEngine {
 public:
  // Over the chip registers, the mailbox, the VBI ring and the audio staging buffer (common buffer 2).
  // Allocates the three descriptor pages; STATUS_INSUFFICIENT_RESOURCES when one cannot be had.
  static NTSTATUS Create(ChipRegisters regs, PUCHAR mem, EncoderMailbox* mailbox, VbiRing* ring, PVOID audioStaging,
                         PHYSICAL_ADDRESS audioStagingPhysical, ULONG audioStagingLength, CaptureDmaEngine** engine);
  // Frees the descriptor pages; the pins must have been detached.
  static void Destroy(CaptureDmaEngine* engine);

  // Device IRQL: acknowledges one unmasked source and queues its DPC; whether the interrupt was the card's.
  BOOLEAN Isr();
  // Passive level, device lock held: a pin enters or leaves run. The first attach unmasks the sources; the
  // last detach masks them and takes queued DPCs back. Attaching the auxiliary-data pin asks the firmware
  // for its record ring (a waited command); its failure is returned and the pin is not attached.
  NTSTATUS Attach(CaptureStream* stream);
  void Detach(ULONG index);
  // The MPEG pin got new buffers: a request held for want of buffers is answered now (any IRQL up to
  // DISPATCH_LEVEL).
  void RetryPendingRequest();

  // What became of the data, for diagnostics and tests.
  struct Counters {
    ULONG requests[kDmaStreams];  // requests taken
    ULONG answered[kDmaStreams];  // answered with a list
    ULONG dropped[kDmaStreams];   // answered without a list: no pin, no buffer
    ULONG refused[kDmaStreams];   // needed more descriptors than a page holds
    ULONG audioRefused;           // raw audio requests whose size does not fit the staging buffer
    ULONG audioLostBytes;         // raw audio bytes staged while the pin had no buffer for them
    ULONG emptied[kDmaStreams];   // buffers completed empty (with a discontinuity): no transfer filled them
    ULONG thirdSource;            // third-source interrupts
    ULONG ignoredRequests;        // requests for an unknown stream
  };
  const Counters& Statistics() const { return counters_; }
  BOOLEAN RetryPending() const { return retry_; }

 private:
  struct DescriptorList {
    DmaDescriptor* page;  // 341 descriptors, physically contiguous
    PHYSICAL_ADDRESS physical;
    ULONG count;           // descriptors written
    ULONG total;           // bytes scheduled
    ULONG pad;             // padding added to the last piece
    ULONG requestAddress;  // what the firmware asked for
    ULONG requestCount;
    BOOLEAN answered;  // the firmware has the list (its buffers hold transferred data once done)
  };
  struct StreamState {
    ULONG taken;                              // buffers taken for the transfer in flight
    ULONG outstanding;                        // requests not yet completed
    CaptureBuffer* buffers[kMaxDescriptors];  // the buffers taken, in order
  };

  CaptureDmaEngine(ChipRegisters regs, PUCHAR mem, EncoderMailbox* mailbox, VbiRing* ring, PVOID audioStaging,
                   PHYSICAL_ADDRESS audioStagingPhysical, ULONG audioStagingLength);
  ~CaptureDmaEngine();
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  // How filling a list went: the bytes are covered, the buffer (or the pin's queue) ran out, or the
  // descriptor page is full.
  enum class Fill { Covered, Exhausted, Starved, Overflow };

  static VOID RequestDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
  static VOID DoneDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
  static VOID ThirdDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
  void OnRequest();
  void OnDone();
  ULONG MailboxWord(ULONG offset) const;
  void Post(ULONG list, ULONG count);
  // Answers the encoder's request without a list: the firmware drops its data; counted.
  void Drop(ULONG index, ULONG count);
  void AnswerWithList(ULONG index);
  void Refuse(ULONG index);
  void ResetList(ULONG index);
  CaptureBuffer* TakeBuffer(ULONG index);
  BOOLEAN Append(ULONG index, ULONG source, ULONG destination, ULONG bytes, ULONG capacity);
  Fill FillBuffer(ULONG index, CaptureBuffer* buffer, ULONG address, ULONG wanted);
  Fill FillMpeg();
  void StageVbi();
  void Complete(ULONG index);
  void ReleaseTaken(ULONG index, BOOLEAN transferred);
  void DeliverAudio();
  void ClearAudio();

  ChipRegisters regs_;
  PUCHAR mem_;  // encoder memory: the request record and the done report
  EncoderMailbox* mailbox_;
  VbiRing* ring_;
  PUCHAR audioStaging_;
  PHYSICAL_ADDRESS audioStagingPhysical_;
  ULONG audioStagingLength_;
  ULONG audioPending_;           // bytes in the audio staging buffer not yet delivered
  CaptureBuffer* audioPartial_;  // an audio buffer filled part of the way
  ULONG audioPartialFill_;
  BOOLEAN audioGap_;  // audio was lost: the next audio buffer starts with a discontinuity
  DescriptorList lists_[kDmaStreams];
  StreamState streams_[kDmaStreams];
  CaptureStream* pins_[kStreamSlots];
  KDPC requestDpc_;
  KDPC doneDpc_;
  KDPC thirdDpc_;
  KSPIN_LOCK lock_;
  KEVENT event_;   // signalled by the third interrupt source
  BOOLEAN retry_;  // an MPEG request waits for buffers
  Counters counters_;
};

}  // namespace pelgar
