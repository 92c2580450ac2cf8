#include "driver/tuner_control.h"

#include "driver/driver_services.h"

namespace pelgar {

NTSTATUS TunerControl::Create(PelgarDevice* device, TunerControl** tuners) {
  *tuners = NewTagged<TunerControl>(std::source_location::current(), device);
  return *tuners == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
void TunerControl::Destroy(TunerControl* tuners) { DeleteTagged(tuners); }

}  // namespace pelgar
