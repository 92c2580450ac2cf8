// The encoder's command mailbox in encoder memory and the firmware load that brings the encoder up.
//
// Not built yet beyond its construction: Create masks every interrupt source (the chip's reset state for
// the driver), LoadAndStart answers STATUS_NOT_IMPLEMENTED so the mailbox stays not ready, and every
// command then fails with STATUS_DEVICE_NOT_READY.
#pragma once

#include "driver/chip_registers.h"

namespace pelgar {

struct PelgarDevice;

class EncoderMailbox {
 public:
  // Writes the interrupt mask with every source masked (and reads it back to flush the write).
  static NTSTATUS Create(ChipRegisters regs, PUCHAR mem, PelgarDevice* device, EncoderMailbox** mailbox);
  static void Destroy(EncoderMailbox* mailbox);

  // Firmware reset, load and start, then the mailbox search. Placeholder: STATUS_NOT_IMPLEMENTED.
  NTSTATUS LoadAndStart();
  // Power-down: commands fail until the firmware is loaded again.
  void Reset();
  bool Ready() const { return ready_; }
  // The configuration sequence. Placeholder: STATUS_DEVICE_NOT_READY while not ready, else success.
  NTSTATUS Configure(PelgarDevice* device, BOOLEAN force);

 private:
  EncoderMailbox(ChipRegisters regs, PUCHAR mem, PelgarDevice* device);
  ~EncoderMailbox() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  ChipRegisters regs_;
  PUCHAR mem_;            // encoder memory (offset 0 of the window)
  PelgarDevice* device_;  // for the activity count of every command
  KMUTEX mutex_;          // guards waited commands and `ready_`
  bool ready_;            // set after a successful firmware start
};

}  // namespace pelgar
