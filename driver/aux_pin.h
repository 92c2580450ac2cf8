// The encoder filter's auxiliary-record pin (stream index 4): the firmware's 24-byte records, copied from
// its ring in encoder memory after each MPEG completion.
#pragma once

#include "driver/kernel/ks.h"

namespace pelgar {

extern const KSPIN_DISPATCH kAuxPinDispatch;

}  // namespace pelgar
