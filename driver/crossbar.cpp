#include "driver/crossbar.h"

#include "driver/driver_services.h"

namespace pelgar {

NTSTATUS Crossbar::Create(PelgarDevice* device, Crossbar** crossbar) {
  *crossbar = NewTagged<Crossbar>(std::source_location::current(), device);
  return *crossbar == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}
void Crossbar::Destroy(Crossbar* crossbar) { DeleteTagged(crossbar); }

}  // namespace pelgar
