#include "driver/filters.h"

namespace pelgar {
namespace {

constexpr GUID kEncoderReference = {0x03688831, 0x8667, 0x4C61, {0xB5, 0xD6, 0x4A, 0x36, 0x1F, 0x02, 0x5D, 0x2D}};
constexpr GUID kAudioCaptureReference = {
    0xAB766B70, 0xAFB3, 0x4461, {0xA4, 0xDE, 0x22, 0xE9, 0xC5, 0x16, 0xB7, 0xFE}};

}  // namespace

const KSFILTER_DESCRIPTOR kEncoderFilterDescriptor = {
    nullptr, nullptr, KSFILTER_DESCRIPTOR_VERSION, 0, &kEncoderReference, 0, 0, nullptr, 0, nullptr, 0, 0, nullptr, 0,
    nullptr, nullptr};
const KSFILTER_DESCRIPTOR kAudioCaptureFilterDescriptor = {nullptr,
                                                           nullptr,
                                                           KSFILTER_DESCRIPTOR_VERSION,
                                                           0,
                                                           &kAudioCaptureReference,
                                                           0,
                                                           0,
                                                           nullptr,
                                                           0,
                                                           nullptr,
                                                           0,
                                                           0,
                                                           nullptr,
                                                           0,
                                                           nullptr,
                                                           nullptr};

NTSTATUS CreateFilterFactories(PelgarDevice*) { return STATUS_SUCCESS; }

}  // namespace pelgar
