#include "driver/aux_pin.h"

namespace pelgar {

// Not built yet: the pin has no dispatch routines.
const KSPIN_DISPATCH kAuxPinDispatch = {};

}  // namespace pelgar
