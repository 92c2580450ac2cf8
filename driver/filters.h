// The card's kernel-streaming filters: the encoder and audio capture filters listed in the device
// descriptor, and the video capture, TV audio, crossbar and tuner filters made by factories at start.
//
// The encoder filter carries its pins (video format in, MPEG program stream, auxiliary records), its
// property sets and a Create that writes the card's instance into pin 0's medium. Not built yet: the other
// descriptors carry their reference GUID and categories but no pins, nodes or automation table.
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
