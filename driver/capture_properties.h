// The video capture filter's property sets: the video processing amplifier, the video decoder and the
// card's diagnostic set (I2C transfers, encoder memory, chip registers, waited mailbox commands).
#pragma once

#include "driver/kernel/ks.h"

namespace pelgar {

extern const KSAUTOMATION_TABLE kVideoCaptureAutomationTable;

}  // namespace pelgar
