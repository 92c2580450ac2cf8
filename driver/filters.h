// The card's kernel-streaming filters: the encoder and audio capture filters listed in the device
// descriptor, and the video capture, TV audio, crossbar and tuner filters made by factories at start.
//
// Not built yet: every descriptor carries its reference GUID and categories but no pins, nodes or
// automation table; the four dynamic factories are created over those descriptors.
#pragma once

#include "driver/kernel/ks.h"

namespace pelgar {

struct PelgarDevice;

extern const KSFILTER_DESCRIPTOR kEncoderFilterDescriptor;
extern const KSFILTER_DESCRIPTOR kAudioCaptureFilterDescriptor;

// Creates the four dynamic filter factories of a starting card (video capture, TV audio, crossbar, tuner),
// freed by the class driver when the card stops, and updates their cache data; the device remembers the
// first. Returns the first failure.
NTSTATUS CreateFilterFactories(PelgarDevice* device);

}  // namespace pelgar
