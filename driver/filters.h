// The card's kernel-streaming filters: the encoder and audio capture filters listed in the device
// descriptor, and the video capture, TV audio, crossbar and tuner filters made by factories at start.
//
// Each filter that is opened gets its own copy of its descriptor, whose mediums carry the card's instance
// number. The video capture filter's raw video and format hand-over pins carry one of the four internal
// video ranges, chosen by the stream type and the standard's line count and switched in every open
// filter when either changes. The TV audio, crossbar and tuner filters carry placeholder pins; their real
// pins are registered as mediums.
#pragma once

#include "driver/kernel/ks.h"
#include "driver/kernel/ksmedia.h"

namespace pelgar {

struct PelgarDevice;

// The reference GUIDs of the statically listed filters, and the auxiliary records' format type.
inline constexpr GUID kEncoderReference = {
    0x03688831, 0x8667, 0x4C61, {0xB5, 0xD6, 0x4A, 0x36, 0x1F, 0x02, 0x5D, 0x2D}};
inline constexpr GUID kAudioCaptureReference = {
    0xAB766B70, 0xAFB3, 0x4461, {0xA4, 0xDE, 0x22, 0xE9, 0xC5, 0x16, 0xB7, 0xFE}};
inline constexpr GUID kAuxRecordsType = {
    0x2F67CE98, 0xF841, 0x4D3E, {0xA4, 0xB4, 0x8A, 0xEB, 0xCE, 0xDB, 0x40, 0x6B}};

extern const KSFILTER_DESCRIPTOR kEncoderFilterDescriptor;
extern const KSFILTER_DESCRIPTOR kAudioCaptureFilterDescriptor;
extern const KSFILTER_DESCRIPTOR kVideoCaptureFilterDescriptor;
const KSFILTER_DESCRIPTOR& TvAudioFilterDescriptor();
const KSFILTER_DESCRIPTOR& CrossbarFilterDescriptor();
const KSFILTER_DESCRIPTOR& TunerFilterDescriptor();

// The stream type's height or the standard's line count changed: every open video capture filter of the
// card's first factory takes the video range they select for its pins 2 and 5. Passive level; takes the
// device mutex.
void SwitchCaptureRanges(PelgarDevice* device);

// Creates the four dynamic filter factories of a starting card (video capture, TV audio, crossbar, tuner),
// freed by the class driver when the card stops, and updates their cache data; the device remembers the
// first. Returns the first failure.
NTSTATUS CreateFilterFactories(PelgarDevice* device);

}  // namespace pelgar
