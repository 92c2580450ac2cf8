#include "driver/encoder_settings.h"

#include "driver/driver_services.h"

namespace pelgar {

NTSTATUS EncoderSettings::Create(PelgarDevice* device, EncoderSettings** settings) {
  *settings = NewTagged<EncoderSettings>(std::source_location::current(), device);
  return *settings == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
void EncoderSettings::Destroy(EncoderSettings* settings) { DeleteTagged(settings); }

}  // namespace pelgar
