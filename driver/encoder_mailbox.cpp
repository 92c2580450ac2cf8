#include "driver/encoder_mailbox.h"

#include "driver/driver_services.h"

namespace pelgar {

NTSTATUS EncoderMailbox::Create(ChipRegisters regs, PUCHAR mem, PelgarDevice* device, EncoderMailbox** mailbox) {
  *mailbox = NewTagged<EncoderMailbox>(std::source_location::current(), regs, mem, device);
  if (*mailbox == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  regs.Write(InterruptMask::AllMasked());
  regs.Read<InterruptMask>();
  return STATUS_SUCCESS;
}

void EncoderMailbox::Destroy(EncoderMailbox* mailbox) { DeleteTagged(mailbox); }

EncoderMailbox::EncoderMailbox(ChipRegisters regs, PUCHAR mem, PelgarDevice* device)
    : regs_(regs), mem_(mem), device_(device), ready_(false) {
  KeInitializeMutex(&mutex_, 0);
}

NTSTATUS EncoderMailbox::LoadAndStart() { return STATUS_NOT_IMPLEMENTED; }

void EncoderMailbox::Reset() {
  KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, nullptr);
  ready_ = false;
  KeReleaseMutex(&mutex_, FALSE);
}

NTSTATUS EncoderMailbox::Configure(PelgarDevice*, BOOLEAN) {
  return ready_ ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

}  // namespace pelgar
