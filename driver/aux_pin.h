// The encoder filter's auxiliary-record pin (stream index 4): the firmware's 24-byte records, copied from
// its ring in encoder memory after each MPEG completion.
//
// The firmware keeps the records in a ring of its own in encoder memory: a write position word at the
// ring base holds the encoder address of the record it writes next, and the records follow from the base
// + 4. The pin learns where the ring lies when it is attached to the DMA engine (a waited command at run)
// and from then on copies every record the firmware has written since the last look into one buffer each.
//
// Contexts: Create, Close, SetDeviceState and the intersection run at passive level in the caller's
// thread; `SetAuxRing` at passive level while the pin is attached; `ReadAuxRecords` in the DMA engine's done
// DPC under its spin lock (DISPATCH_LEVEL).
#pragma once

#include "driver/stream_pin.h"

namespace pelgar {

// The auxiliary pin's allocator: ten frames of one 24-byte record each.
inline constexpr ULONG kAuxFrames = 10;
inline constexpr ULONG kAuxRecordBytes = 24;

class AuxPin final : public StreamPin {
 public:
  // Allocates the pin object with its own framing and remembers the card's encoder memory.
  static NTSTATUS Create(PKSPIN pin, PIRP irp);
  // Records are read after MPEG completions, not when frames arrive.
  static NTSTATUS Process(PKSPIN pin);
  // The format is the pin's own range (64 bytes), as for the MPEG pin.
  static NTSTATUS Intersect(PVOID context, PIRP irp, PKSP_PIN request, PKSDATARANGE range, PKSDATARANGE matching,
                            ULONG bufferSize, PVOID data, PULONG dataSize);

  AuxPin(PKSPIN pin, PelgarDevice* device, PUCHAR memory, ULONG memoryBytes)
      : StreamPin(pin, kStreamIndexAux, device), mem_(memory), memBytes_(memoryBytes) {}

  // ---- CaptureStream (DMA engine)
  // The ring the firmware reported: its write position word at `ringBase`, `recordCount` records from
  // `firstRecord`. A ring that does not lie inside encoder memory with its records after the position word
  // is not read (nothing is delivered). Starts reading at record 0.
  void SetAuxRing(ULONG ringBase, ULONG firstRecord, ULONG recordCount) override;
  // Copies each record the firmware wrote since the last call into a buffer of its own (24 bytes used) and
  // completes it, oldest first, until the read index meets the firmware's write position or the pin has no
  // buffer left (the rest waits for the next call). A write position that does not name a record of the
  // ring is not trusted: nothing is read.
  void ReadAuxRecords() override;

  ULONG ReadIndex() const { return readIndex_; }
  ULONG FirstRecord() const { return first_; }
  ULONG RecordCount() const { return count_; }

 private:
  ULONG Word(ULONG offset) const;

  PUCHAR mem_;           // the card's encoder memory
  ULONG memBytes_;       // its size
  ULONG ringBase_ = 0;   // the firmware's write position word
  ULONG first_ = 0;      // encoder offset of record 0; 0 while no usable ring is known
  ULONG count_ = 0;      // records in the ring
  ULONG readIndex_ = 0;  // the record to copy next
};

extern const KSPIN_DISPATCH kAuxPinDispatch;

}  // namespace pelgar
