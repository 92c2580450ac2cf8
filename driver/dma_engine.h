// The bus-master capture engine (interrupt service routine, request and done DPCs, descriptor lists) and
// the VBI ring it stages from encoder memory.
//
// Not built yet: both are placeholders that hold what they are created over; the interrupt routine
// claims no interrupt (answers FALSE).
#pragma once

#include "driver/chip_registers.h"

namespace pelgar {

class EncoderMailbox;

class VbiRing {
 public:
  // Over encoder memory and the VBI staging buffer (common buffer 1).
  static NTSTATUS Create(PUCHAR mem, PVOID staging, PHYSICAL_ADDRESS stagingPhysical, VbiRing** ring);
  static void Destroy(VbiRing* ring);

 private:
  VbiRing(PUCHAR mem, PVOID staging, PHYSICAL_ADDRESS stagingPhysical);
  ~VbiRing() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  PUCHAR mem_;
  PVOID staging_;
  PHYSICAL_ADDRESS stagingPhysical_;
};

class CaptureDmaEngine {
 public:
  // Over the chip registers, the mailbox, the VBI ring and the audio staging buffer (common buffer 2).
  static NTSTATUS Create(ChipRegisters regs, EncoderMailbox* mailbox, VbiRing* ring, PVOID audioStaging,
                         PHYSICAL_ADDRESS audioStagingPhysical, CaptureDmaEngine** engine);
  static void Destroy(CaptureDmaEngine* engine);

  // Called by the device's interrupt routine at device IRQL; whether the interrupt was the card's.
  // Placeholder: FALSE.
  BOOLEAN Isr() { return FALSE; }

 private:
  CaptureDmaEngine(ChipRegisters regs, EncoderMailbox* mailbox, VbiRing* ring, PVOID audioStaging,
                   PHYSICAL_ADDRESS audioStagingPhysical);
  ~CaptureDmaEngine() = default;
  template <class T, class... Args>
  friend T* NewTagged(std::source_location, Args&&...);
  template <class T>
  friend void DeleteTagged(T*);

  ChipRegisters regs_;
  EncoderMailbox* mailbox_;
  VbiRing* ring_;
  PVOID audioStaging_;
  PHYSICAL_ADDRESS audioStagingPhysical_;
};

}  // namespace pelgar
