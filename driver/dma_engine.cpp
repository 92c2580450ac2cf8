#include "driver/dma_engine.h"

#include "driver/driver_services.h"

namespace pelgar {

NTSTATUS VbiRing::Create(PUCHAR mem, PVOID staging, PHYSICAL_ADDRESS stagingPhysical, VbiRing** ring) {
  *ring = NewTagged<VbiRing>(std::source_location::current(), mem, staging, stagingPhysical);
  return *ring == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
void VbiRing::Destroy(VbiRing* ring) { DeleteTagged(ring); }
VbiRing::VbiRing(PUCHAR mem, PVOID staging, PHYSICAL_ADDRESS stagingPhysical)
    : mem_(mem), staging_(staging), stagingPhysical_(stagingPhysical) {}

NTSTATUS CaptureDmaEngine::Create(ChipRegisters regs, EncoderMailbox* mailbox, VbiRing* ring, PVOID audioStaging,
                                  PHYSICAL_ADDRESS audioStagingPhysical, CaptureDmaEngine** engine) {
  *engine = NewTagged<CaptureDmaEngine>(std::source_location::current(), regs, mailbox, ring, audioStaging,
                                        audioStagingPhysical);
  return *engine == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
void CaptureDmaEngine::Destroy(CaptureDmaEngine* engine) { DeleteTagged(engine); }
CaptureDmaEngine::CaptureDmaEngine(ChipRegisters regs, EncoderMailbox* mailbox, VbiRing* ring, PVOID audioStaging,
                                   PHYSICAL_ADDRESS audioStagingPhysical)
    : regs_(regs),
      mailbox_(mailbox),
      ring_(ring),
      audioStaging_(audioStaging),
      audioStagingPhysical_(audioStagingPhysical) {}

}  // namespace pelgar
