// The card's kernel-streaming filters: the encoder and audio capture filters listed in the device
// descriptor, and the video capture, TV audio, crossbar and tuner filters made by factories at start.
//
// Not built yet: the two static descriptors carry no pins and no automation table, and creating the
// dynamic factories does nothing (success, no factory handle).
#pragma once

#include "driver/kernel/ks.h"

namespace pelgar {

struct PelgarDevice;

extern const KSFILTER_DESCRIPTOR kEncoderFilterDescriptor;
extern const KSFILTER_DESCRIPTOR kAudioCaptureFilterDescriptor;

// The four dynamic filter factories of a starting card. Placeholder: success, no factory.
NTSTATUS CreateFilterFactories(PelgarDevice* device);

}  // namespace pelgar
