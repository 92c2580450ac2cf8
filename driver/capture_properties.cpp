#include "driver/capture_properties.h"

namespace pelgar {

// Not built yet: no property set is answered.
const KSAUTOMATION_TABLE kVideoCaptureAutomationTable = {0, 0, nullptr, 0, 0, nullptr, 0, 0, nullptr, nullptr};

}  // namespace pelgar
